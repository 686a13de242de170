#include "mixer/Engine.h"

#include "common/Log.h"
#include "decoding/Decoder.h"
#include "decoding/MediaPaths.h"
#include "mixer/AlCheck.h"
#include "speech/Speech.h"

#include "Environment.h"
#include "Files.h"

#include <AL/alext.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace Corvane::detail {

namespace {

// Closing the output takes milliseconds; a hung sound server must not keep
// the game from ending.
constexpr auto kClosePatience = std::chrono::milliseconds(2000);

// A screen reader says what it is given at its own pace: about 70 ms a
// character at the usual 175 words a minute.
constexpr std::int64_t kReaderFramesPerChar = kMixRate * 70 / 1000;
constexpr std::int64_t kDuckRampFrames = kMixRate * kDuckRampMs / 1000;

}  // namespace

Engine::Engine() = default;

Engine& Engine::Get() { return Singleton<Engine>(); }

bool Engine::Running() {
    std::lock_guard lock(mutex_);
    return running_;
}

bool Engine::Start(int slots, const EngineOptions& options) {
    std::unique_lock lock(mutex_);
    if (running_) return true;
    auto mixer = std::make_unique<Mixer>(slots);
    if (!mixer->loopback.Open(headphones_)) return false;
    mixer->speechSource = GenerateSource();
    AL_CHECK(alSourcei(mixer->speechSource.Get(), AL_SOURCE_RELATIVE, AL_TRUE));
    AL_CHECK(alSource3f(mixer->speechSource.Get(), AL_POSITION, 0.0f, 0.0f, -1.0f));
    AL_CHECK(alSourcef(mixer->speechSource.Get(), AL_GAIN, groupGain_[static_cast<int>(Group::Speech)]));
    renderDevice_ = mixer->loopback.Device();
    updateFrames_ = std::max(options.updateFrames, 1);
    callbackFrames_ = std::max(options.callbackFrames, 0);
    streamAboveMs_ = options.streamAboveMs;
    mixer_ = std::move(mixer);
    running_ = true;
    duckLevel_ = 0.0f;  // the music starts up, whatever speech the last run cut off
    duckSeenFrames_ = renderedFrames_.load(std::memory_order_relaxed);
    readerUntilFrame_ = 0;

    if (const std::string path = platform::EnvText("BARNBLAST_CAPTURE"); !path.empty()) {
        capture_.Start(path, kMixRate, kMixChannels);
    }
    speech_ = std::make_unique<SpeechWorker>(
        [this](const std::vector<std::int16_t>& samples, int rate) { PlaySpeech(samples, rate); }, speechRate_,
        speechVoice_);
    if (screenReader_) speech_->UseScreenReader(true);
    streamer_ = std::thread([this] { RunStreams(); });
    if (options.openOutput) {
        auto output = AudioOutput::Open(kMixRate, callbackFrames_, &Engine::Callback, this);
        if (!output) {
            lock.unlock();
            Shutdown();
            return false;
        }
        output_ = std::move(output);
        output_->Resume();
    }
    return true;
}

void Engine::Callback(void* self, unsigned char* stream, int len) {
    static_cast<Engine*>(self)->Render(reinterpret_cast<float*>(stream),
                                       len / static_cast<int>(sizeof(float) * kMixChannels));
}

void Engine::Render(float* out, int frames) {
    std::lock_guard lock(renderMutex_);
    ALCdevice* device = renderDevice_.load(std::memory_order_acquire);
    if (!device) {
        std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * kMixChannels, 0.0f);
        return;
    }
    Loopback::Render(device, out, frames, updateFrames_.load(std::memory_order_relaxed));
    if (oneEar_.load(std::memory_order_relaxed)) {
        for (float* frame = out; frame < out + static_cast<std::ptrdiff_t>(frames) * kMixChannels; frame += 2)
            frame[0] = frame[1] = 0.5f * (frame[0] + frame[1]);
    }
    renderedFrames_.fetch_add(frames, std::memory_order_relaxed);
    renders_.fetch_add(1, std::memory_order_relaxed);
    capture_.Push(out, static_cast<std::size_t>(frames) * kMixChannels);
    if (auto observer = observer_.load(std::memory_order_acquire)) observer(out, frames);
}

void Engine::SetOneEar(bool on) { oneEar_.store(on, std::memory_order_relaxed); }

bool Engine::SetHeadphones(bool on) {
    std::lock_guard lock(mutex_);
    headphones_ = on;
    if (!running_) return true;
    // Resetting the device re-plans the whole mix: never while it renders.
    std::lock_guard render(renderMutex_);
    return mixer_->loopback.SetHrtf(on);
}

void Engine::ObserveRender(void (*observer)(const float*, int)) {
    observer_.store(observer, std::memory_order_release);
}

void Engine::Shutdown() {
    std::unique_ptr<AudioOutput> output;
    std::unique_ptr<SpeechWorker> speech;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
        output = std::move(output_);
        speech = std::move(speech_);
    }
    // The output first: closing it returns once no callback runs, or, with
    // a sound server that stopped answering, is left behind, and a callback
    // it makes later finds no device to render and plays silence.
    AudioOutput::CloseWithin(std::move(output), kClosePatience);
    speech.reset();  // joins the speech thread; its PlaySpeech now does nothing
    streamWake_.notify_all();
    if (streamer_.joinable()) streamer_.join();
    capture_.Finish();

    std::lock_guard lock(mutex_);
    {
        std::lock_guard render(renderMutex_);  // a render under way ends first
        renderDevice_ = nullptr;
    }
    pausing_.clear();
    mixer_.reset();
}

std::shared_ptr<Voice> Engine::Load(const std::string& requestedName) {
    const std::string fileName = LocateMedia(requestedName);
    const std::string path = ResolvePath(fileName);
    const auto facts = platform::LookAt(path);
    const platform::FileVersion version = facts ? facts->version : platform::FileVersion{};

    std::shared_ptr<const Buffer> buffer;
    {
        std::lock_guard lock(mutex_);
        if (!running_) return nullptr;
        mixer_->voices.Reap();
        if (facts) buffer = mixer_->voices.Cached(path, version);
    }
    if (!buffer) {
        if (auto streamed = OpenStream(fileName, path)) return streamed;
        buffer = DecodeToBuffer(fileName, path, version);
        if (!buffer) return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (!running_) return nullptr;
    auto voice = std::make_shared<Voice>();
    voice->buffer = std::move(buffer);
    voice->source = GenerateSource();
    if (!voice->source) return NoSourceLeft(fileName);
    AL_CHECK(alSourcei(voice->source.Get(), AL_BUFFER, static_cast<ALint>(voice->buffer->id.Get())));
    mixer_->voices.Adopt(voice);
    return voice;
}

std::shared_ptr<const Buffer> Engine::DecodeToBuffer(const std::string& fileName, const std::string& path,
                                                     const platform::FileVersion& version) {
    // Decoding happens outside the lock: a long file must not hold up the
    // other thread's pan and volume changes.
    DecodedAudio audio;
    std::string error;
    if (!Decode(fileName, audio, error)) {
        Say("sound: cannot open \"%s\": %s\n", fileName.c_str(), error.c_str());
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (!running_) return nullptr;
    auto fresh = std::make_shared<Buffer>();
    fresh->id = GenerateBuffer();
    fresh->channels = audio.channels;
    fresh->lengthMs = audio.LengthMs();
    fresh->version = version;
    const ALenum format = audio.channels == 1 ? AL_FORMAT_MONO_FLOAT32 : AL_FORMAT_STEREO_FLOAT32;
    AL_CHECK(alBufferData(fresh->id.Get(), format, audio.samples.data(),
                          static_cast<ALsizei>(audio.samples.size() * sizeof(float)), audio.sampleRate));
    mixer_->voices.Cache(path, fresh);
    return fresh;
}

// A long sound is streamed: opening it reads only its header.
std::shared_ptr<Voice> Engine::OpenStream(const std::string& fileName, const std::string& path) {
    // Not streamed: anything that cannot be opened (the full decoder then
    // says why), and anything short or of no believable length.
    std::string error;
    auto file = SoundReader::Open(path, error);
    if (!file || file->AnnouncedFrames() * 1000 / file->SampleRate() <= streamAboveMs_) return nullptr;
    std::lock_guard lock(mutex_);
    if (!running_) return nullptr;
    auto voice = std::make_shared<Voice>();
    voice->stream = std::make_unique<Stream>();
    voice->source = GenerateSource();
    if (!voice->source || !voice->stream->Start(std::move(file), fileName)) {
        voice->Empty();
        return NoSourceLeft(fileName);
    }
    mixer_->voices.Adopt(voice);
    return voice;
}

std::shared_ptr<Voice> Engine::NoSourceLeft(const std::string& fileName) {
    Say("sound: cannot open \"%s\": the mixer has no source left\n", fileName.c_str());
    return nullptr;
}

void Engine::RunStreams() {
    std::unique_lock lock(mutex_);
    while (running_) {
        // Each buffer holds under 0.1 s and four are queued: coming round
        // every 20 ms keeps the queue well ahead of the mixer. A duck's ramp
        // is taken in steps of 5 ms.
        streamWake_.wait_for(lock, std::chrono::milliseconds(duckDecibels_ > 0 ? 5 : 20));
        if (!running_) break;
        ServiceLocked();
    }
}

void Engine::ServiceStreams() {
    std::lock_guard lock(mutex_);
    if (running_) ServiceLocked();
}

void Engine::ServiceLocked() {
    FinishPauses();
    mixer_->voices.ServiceStreams();
    UpdateDuck();
}

bool Engine::SpeechSounding() {
    if (renderedFrames_.load(std::memory_order_relaxed) < readerUntilFrame_) return true;
    ALint state = AL_STOPPED;
    AL_CHECK(alGetSourcei(mixer_->speechSource.Get(), AL_SOURCE_STATE, &state));
    bool sounding = state == AL_PLAYING;
    mixer_->voices.ForEachOpen([&](const Voice& voice) {
        if (sounding || !voice.spoken) return;
        AL_CHECK(alGetSourcei(voice.source.Get(), AL_SOURCE_STATE, &state));
        sounding = state == AL_PLAYING;
    });
    return sounding;
}

void Engine::UpdateDuck() {
    const std::int64_t now = renderedFrames_.load(std::memory_order_relaxed);
    const std::int64_t elapsed = now - std::exchange(duckSeenFrames_, now);
    const float target = duckDecibels_ > 0 && SpeechSounding() ? 1.0f : 0.0f;
    if (target == duckLevel_) return;
    const float step = static_cast<float>(elapsed) / static_cast<float>(kDuckRampFrames);
    duckLevel_ = target > duckLevel_ ? std::min(target, duckLevel_ + step) : std::max(target, duckLevel_ - step);
    mixer_->voices.ForEachOpen([&](const Voice& voice) {
        if (voice.group == Group::Music) ApplyGain(voice);
    });
}

void Engine::SetDuck(int decibels) {
    std::lock_guard lock(mutex_);
    duckDecibels_ = std::max(decibels, 0);
    if (running_) UpdateDuck();
}

void Engine::SetSpoken(Voice& voice, bool spoken) {
    std::lock_guard lock(mutex_);
    voice.spoken = spoken;
}

void Engine::Release(std::shared_ptr<Voice> voice) {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    // Reaped first: the sound in hand may itself be one closed before.
    mixer_->voices.Reap();
    if (voice && Usable(*voice)) mixer_->voices.Release(std::move(voice));
}

void Engine::Play(const std::shared_ptr<Voice>& handle, int slot, bool loop, int pan, int volume) {
    Voice& voice = *handle;
    std::lock_guard lock(mutex_);
    if (!running_) return;
    mixer_->voices.Reap();
    if (!Usable(voice)) return;
    mixer_->voices.TakeSlot(handle, slot);
    const ALuint source = voice.source.Get();
    ApplyPan(voice, pan < 0 ? 128 : pan);
    voice.volume = volume;
    voice.held = false;
    ForgetPause(voice);
    ApplyGain(voice);
    if (voice.spoken && duckDecibels_ > 0) streamWake_.notify_all();  // the music steps aside at once
    if (voice.stream) {
        // The stream loops by itself; the source only plays its queue.
        voice.stream->Play(source, loop);
        streamWake_.notify_all();
        return;
    }
    AL_CHECK(alSourcei(source, AL_LOOPING, loop ? AL_TRUE : AL_FALSE));
    AL_CHECK(alSourceRewind(source));
    AL_CHECK(alSourcePlay(source));
}

void Engine::Stop(Voice& voice) {
    std::lock_guard lock(mutex_);
    if (!Usable(voice)) return;
    voice.held = false;
    ForgetPause(voice);
    if (voice.stream) {
        voice.stream->Stop(voice.source.Get());
        return;
    }
    AL_CHECK(alSourceStop(voice.source.Get()));
}

// OpenAL Soft stops a source it pauses at once, which clicks, and starts
// it at full gain. So a pause first takes the gain to zero, which the mixer
// ramps over one update, and pauses the source once that has been mixed;
// resuming raises the gain from zero over one update again.
void Engine::Pause(const std::shared_ptr<Voice>& handle) {
    Voice& voice = *handle;
    std::lock_guard lock(mutex_);
    if (!Usable(voice) || voice.closing || voice.held) return;
    ALint state = AL_STOPPED;
    AL_CHECK(alGetSourcei(voice.source.Get(), AL_SOURCE_STATE, &state));
    if (voice.stream ? !voice.stream->Playing() : state != AL_PLAYING) return;
    voice.held = true;
    ApplyGain(voice);
    pausing_.push_back(
        {handle, renders_.load(std::memory_order_relaxed), renderedFrames_.load(std::memory_order_relaxed)});
}

void Engine::FinishPauses() {
    const std::int64_t renders = renders_.load(std::memory_order_relaxed);
    const std::int64_t frames = renderedFrames_.load(std::memory_order_relaxed);
    const std::int64_t update = updateFrames_.load(std::memory_order_relaxed);
    std::erase_if(pausing_, [&](const Pausing& pausing) {
        const auto voice = pausing.voice.lock();
        if (!voice || !Usable(*voice) || voice->closing || !voice->held) return true;
        // Two renders, the second begun after the gain was set, and two
        // updates: the fade is in the mix.
        if (renders - pausing.renders < 2 || frames - pausing.frames < 2 * update) return false;
        if (voice->stream) {
            voice->stream->Pause(voice->source.Get());
        } else {
            AL_CHECK(alSourcePause(voice->source.Get()));
        }
        return true;
    });
}

void Engine::ForgetPause(const Voice& voice) {
    std::erase_if(pausing_, [&](const Pausing& pausing) { return pausing.voice.lock().get() == &voice; });
}

void Engine::Resume(Voice& voice) {
    std::lock_guard lock(mutex_);
    if (!Usable(voice) || voice.closing || !voice.held) return;
    voice.held = false;
    ForgetPause(voice);
    // Still fading out, it is not paused yet and simply comes back up.
    if (voice.stream) {
        voice.stream->Resume(voice.source.Get());
        streamWake_.notify_all();
    } else {
        ALint state = AL_STOPPED;
        AL_CHECK(alGetSourcei(voice.source.Get(), AL_SOURCE_STATE, &state));
        if (state == AL_PAUSED) AL_CHECK(alSourcePlay(voice.source.Get()));
    }
    ApplyGain(voice);
}

void Engine::SetPan(Voice& voice, int pan) {
    std::lock_guard lock(mutex_);
    if (!Usable(voice)) return;
    ApplyPan(voice, pan);
}

void Engine::SetVolume(Voice& voice, int volume) {
    std::lock_guard lock(mutex_);
    if (!Usable(voice)) return;
    voice.volume = volume;
    if (!voice.closing) ApplyGain(voice);
}

void Engine::SetGroup(Voice& voice, Group group) {
    std::lock_guard lock(mutex_);
    voice.group = group;
    if (Usable(voice) && !voice.closing) ApplyGain(voice);
}

void Engine::SetPitch(Voice& voice, int cents) {
    std::lock_guard lock(mutex_);
    voice.pitchCents = std::clamp(cents, kLowestPitch, kHighestPitch);
    if (Usable(voice)) ApplyPitch(voice);
}

void Engine::SetGroupVolume(Group group, int percent) {
    std::lock_guard lock(mutex_);
    const float gain = static_cast<float>(std::clamp(percent, 0, 100)) / 100.0f;
    groupGain_[static_cast<int>(group)] = gain;
    if (!running_) return;
    if (group == Group::Speech) {
        AL_CHECK(alSourcef(mixer_->speechSource.Get(), AL_GAIN, gain));
        return;
    }
    mixer_->voices.ForEachOpen([&](const Voice& voice) {
        if (voice.group == group) ApplyGain(voice);
    });
}

void Engine::ApplyGain(const Voice& voice) {
    float gain = voice.held ? 0.0f : Gain(voice.volume) * groupGain_[static_cast<int>(voice.group)];
    // In decibels along the ramp, so that it is heard as even.
    if (voice.group == Group::Music && duckLevel_ > 0.0f)
        gain *= std::pow(10.0f, -static_cast<float>(duckDecibels_) * duckLevel_ / 20.0f);
    AL_CHECK(alSourcef(voice.source.Get(), AL_GAIN, gain));
}

int Engine::LengthMs(const Voice& voice) {
    std::lock_guard lock(mutex_);
    if (!Usable(voice)) return 0;
    return voice.LengthMs();
}

void Engine::StopSpeech() {
    std::lock_guard lock(mutex_);
    if (running_) AL_CHECK(alSourceStop(mixer_->speechSource.Get()));
}

void Engine::PlaySpeech(const std::vector<std::int16_t>& samples, int rate) {
    std::lock_guard lock(mutex_);
    if (!running_ || samples.empty()) return;
    const ALuint source = mixer_->speechSource.Get();
    AL_CHECK(alSourceStop(source));
    AL_CHECK(alSourcei(source, AL_BUFFER, 0));
    mixer_->speechBuffer = GenerateBuffer();
    const ALuint buffer = mixer_->speechBuffer.Get();
    AL_CHECK(alBufferData(buffer, AL_FORMAT_MONO16, samples.data(),
                          static_cast<ALsizei>(samples.size() * sizeof(std::int16_t)), rate));
    AL_CHECK(alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer)));
    AL_CHECK(alSourcePlay(source));
    if (duckDecibels_ > 0) streamWake_.notify_all();  // the music steps aside at once
}

void Engine::Speak(const std::string& text) {
    StopSpeech();
    std::lock_guard lock(mutex_);
    if (!running_ || !speech_) return;
    speech_->Request(text);
    // The game cannot hear when the screen reader is done: taken from the text's length.
    if (screenReader_ && duckDecibels_ > 0) {
        const std::int64_t until = renderedFrames_.load(std::memory_order_relaxed) +
                                   static_cast<std::int64_t>(text.size()) * kReaderFramesPerChar;
        readerUntilFrame_ = std::max(readerUntilFrame_, until);
        streamWake_.notify_all();
    }
}

void Engine::SetScreenReader(bool on) {
    std::lock_guard lock(mutex_);
    screenReader_ = on;
    if (speech_) speech_->UseScreenReader(on);
}

void Engine::SetSpeechVoice(int wordsPerMinute, const std::string& voice) {
    std::lock_guard lock(mutex_);
    speechRate_ = wordsPerMinute == 0 ? 0 : std::clamp(wordsPerMinute, kSlowestSpeech, kFastestSpeech);
    speechVoice_ = voice;
    if (speech_) speech_->Configure(speechRate_, speechVoice_);
}

bool Engine::WaitSpeechIdle(int timeoutMs) {
    SpeechWorker* speech = nullptr;
    {
        std::lock_guard lock(mutex_);
        speech = speech_.get();
    }
    return !speech || speech->WaitIdle(timeoutMs);
}

}  // namespace Corvane::detail
