#include "speech/Speech.h"

#include "Files.h"
#include "Folders.h"
#include "ScreenReader.h"
#include "common/Log.h"

#include <espeak-ng/speak_lib.h>

#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

namespace Corvane::detail {
namespace {

// What one synthesis collects; reached from eSpeak NG's callback.
struct Synthesis {
    SpeechWorker* worker;
    std::vector<std::int16_t> samples;
};

}  // namespace

std::string NumberText(std::int32_t number) {
    if (number < 0) return "minus " + std::to_string(-static_cast<std::int64_t>(number));
    return std::to_string(number);
}

namespace {
int StartEspeakOnce();
}

SpeechWorker::SpeechWorker(SpeechSink sink, int wordsPerMinute, const std::string& voice)
    : sink_(std::move(sink)), wordsPerMinute_(wordsPerMinute), voice_(voice), thread_([this] { Run(); }) {}

void SpeechWorker::Configure(int wordsPerMinute, const std::string& voice) {
    std::lock_guard lock(mutex_);
    wordsPerMinute_ = wordsPerMinute;
    voice_ = voice;
    voiceChanged_ = true;
}

void SpeechWorker::ApplyVoice(int wordsPerMinute, const std::string& voice) {
    // eSpeak NG's own rate when none is asked for, so a change back restores it.
    espeak_SetParameter(espeakRATE, wordsPerMinute > 0 ? wordsPerMinute : espeakRATE_NORMAL, 0);
    if (voice.empty() || espeak_SetVoiceByName(voice.c_str()) != EE_OK) {
        if (!voice.empty())
            Say("sound: no eSpeak NG voice named \"%s\"; numbers are spoken in English\n", voice.c_str());
        espeak_SetVoiceByName("en");
    }
}

SpeechWorker::~SpeechWorker() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        pending_.reset();
    }
    wake_.notify_all();
    thread_.join();
}

void SpeechWorker::Request(std::string text) {
    {
        std::lock_guard lock(mutex_);
        pending_ = std::move(text);
    }
    wake_.notify_all();
}

void SpeechWorker::UseScreenReader(bool on) {
    {
        std::lock_guard lock(mutex_);
        screenReaderAsked_ = on;
        screenReaderChanged_ = true;
    }
    wake_.notify_all();
}

void SpeechWorker::ApplyScreenReader(bool on) {
    if (!on) {
        screenReader_.reset();
        return;
    }
    if (screenReader_) return;
    std::string why;
    screenReader_ = platform::ScreenReader::Connect(why);
    if (!screenReader_) Say("speech: no screen reader (%s); the game's own voice speaks instead\n", why.c_str());
}

bool SpeechWorker::WaitIdle(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return !pending_ && !screenReaderChanged_ && !busy_; });
}

bool SpeechWorker::Abandoned() {
    std::lock_guard lock(mutex_);
    return stop_ || pending_.has_value();
}

int SpeechWorker::OnSamples(short* wav, int count, void* eventList) {
    auto* events = static_cast<espeak_EVENT*>(eventList);
    auto* synthesis = static_cast<Synthesis*>(events->user_data);
    if (!synthesis) return 0;
    if (wav && count > 0) synthesis->samples.insert(synthesis->samples.end(), wav, wav + count);
    // A newer number (or the end of the service) makes this one moot.
    return synthesis->worker->Abandoned() ? 1 : 0;
}

namespace {
// eSpeak NG is started once per process and never terminated: version 1.51
// hangs in espeak_Terminate when it is started a second time. Only the
// speech thread calls it, and one speech thread ends before the next starts.
int StartEspeakOnce() {
    static int rate = 0;
    static bool tried = false;
    if (tried) return rate;
    tried = true;
    // Named explicitly where the game carries its own data (Windows), so
    // that no other copy on the machine is picked up instead.
    const std::string dataFolder = platform::SpeechDataFolder();
    rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, dataFolder.empty() ? nullptr : dataFolder.c_str(),
                             espeakINITIALIZE_DONT_EXIT);
    if (rate <= 0) {
        Say("sound: eSpeak NG could not start (is espeak-ng-data installed%s%s?); numbers will not be "
            "spoken\n",
            dataFolder.empty() ? "" : " in ", dataFolder.c_str());
        return rate = 0;
    }
    espeak_SetSynthCallback(
        [](short* wav, int count, espeak_EVENT* events) { return SpeechWorker::OnSamples(wav, count, events); });
    return rate;
}
}  // namespace

void SpeechWorker::Synthesize(const std::string& text, bool voiceChanged, int wordsPerMinute,
                              const std::string& voice) {
    if (rate_ < 0) rate_ = StartEspeakOnce();
    if (rate_ <= 0) return;
    if (voiceChanged) ApplyVoice(wordsPerMinute, voice);
    Synthesis synthesis{this, {}};
    espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, &synthesis);
    if (!Abandoned()) sink_(synthesis.samples, rate_);
}

void SpeechWorker::Run() {
    // Every eSpeak NG and screen reader call happens on this thread, and none
    // before it is needed: loading a voice would only slow the game's start.
    std::unique_lock lock(mutex_);
    bool voiceChanged = false;  // asked for, not yet handed to eSpeak NG
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || pending_ || screenReaderChanged_; });
        if (stop_) break;
        busy_ = true;
        const std::optional<std::string> text = std::exchange(pending_, std::nullopt);
        const bool readerChanged = std::exchange(screenReaderChanged_, false);
        const bool readerAsked = screenReaderAsked_;
        voiceChanged = std::exchange(voiceChanged_, false) || voiceChanged;
        const int wordsPerMinute = wordsPerMinute_;
        const std::string voice = voice_;
        lock.unlock();

        if (readerChanged) ApplyScreenReader(readerAsked);
        if (text && screenReader_ && !screenReader_->Speak(*text)) {
            Say("speech: %s did not take the text; the game's own voice speaks instead\n", screenReader_->Name());
            screenReader_.reset();
        }
        if (text && !screenReader_) Synthesize(*text, std::exchange(voiceChanged, false), wordsPerMinute, voice);

        lock.lock();
        busy_ = false;
        wake_.notify_all();
    }
    lock.unlock();
    screenReader_.reset();  // let go on the thread that connected
}

}  // namespace Corvane::detail
