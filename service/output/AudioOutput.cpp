#include "output/AudioOutput.h"

#include "common/Log.h"

#include "Environment.h"
#include "SoundSystem.h"
#include "ThreadPriority.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace Corvane::detail {

namespace {

using Clock = std::chrono::steady_clock;

// How often the watcher looks at the device, and how often a lost one is
// tried again: the sound is back well within two seconds of its server,
// and a long absence costs little (each failed start of SDL's PulseAudio
// driver keeps a few hundred bytes).
constexpr auto kWatchEvery = std::chrono::milliseconds(100);
constexpr auto kRetryEvery = std::chrono::milliseconds(500);

// Outputs closed too slowly and left behind, still closing: SDL cannot start
// again until they have (starting it closes every device, and would wait).
std::atomic<int> leftBehind{0};

std::mutex choiceMutex;
std::optional<std::string> chosenDevice;  // guarded by choiceMutex; nullopt: none chosen yet

std::string WantedDevice() {
    std::lock_guard lock(choiceMutex);
    return chosenDevice ? *chosenDevice : platform::EnvText("BARNBLAST_AUDIO_DEVICE");
}

// Whether the running subsystem lists a playback device called `name`.
bool Listed(const std::string& name) {
    const int count = SDL_GetNumAudioDevices(0);
    for (int i = 0; i < count; ++i) {
        const char* listed = SDL_GetAudioDeviceName(i, 0);
        if (listed && name == listed) return true;
    }
    return false;
}

int BlockFor(int callbackFrames, const char* driver) {
    if (callbackFrames > 0) return callbackFrames;
    return driver && std::strcmp(driver, "dummy") == 0 ? kSilentCallbackFrames : kCallbackFrames;
}

}  // namespace

void ChooseOutputDevice(const std::string& name) {
    std::lock_guard lock(choiceMutex);
    chosenDevice = name;
}

std::vector<std::string> OutputDeviceNames(std::string& error) {
    platform::QuietSoundSystem();
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    const SdlAudio audio = SdlAudio::Start(nullptr, error);
    std::vector<std::string> names;
    if (!audio) return names;
    const int count = SDL_GetNumAudioDevices(0);
    for (int i = 0; i < count; ++i) {
        if (const char* name = SDL_GetAudioDeviceName(i, 0)) names.emplace_back(name);
    }
    return names;
}

void AudioOutput::OnAudioThread(void* self, unsigned char* stream, int bytes) {
    auto* output = static_cast<AudioOutput*>(self);
    // Once per thread: a reopened device brings a new one.
    thread_local bool named = false;
    if (!named) {
        named = true;
        output->audioThread_.store(platform::CurrentThreadNumber(), std::memory_order_relaxed);
    }
    output->pull_(output->pulled_, stream, bytes);
}

bool AudioOutput::OpenDevice(const char* driver, std::string& error) {
    audio_ = SdlAudio::Start(driver, error);
    if (!audio_) return false;
    want_.samples = static_cast<Uint16>(BlockFor(callbackFrames_, SDL_GetCurrentAudioDriver()));
    const bool named = !deviceName_.empty() && Listed(deviceName_);
    device_ = SdlDevice::Open(named ? deviceName_.c_str() : nullptr, want_, error);
    if (device_) return true;
    audio_ = SdlAudio();
    return false;
}

std::unique_ptr<AudioOutput> AudioOutput::Open(int rate, int callbackFrames, Pull pull, void* self) {
    if (leftBehind > 0) {
        Say("sound: the last sound device still does not answer; no sound until the game starts again\n");
        return nullptr;
    }
    auto output = std::unique_ptr<AudioOutput>(new AudioOutput);
    output->want_.freq = rate;
    output->want_.format = AUDIO_F32SYS;
    output->want_.channels = 2;
    output->want_.callback = &AudioOutput::OnAudioThread;
    output->want_.userdata = output.get();
    output->pull_ = pull;
    output->pulled_ = self;
    output->callbackFrames_ = callbackFrames;
    output->deviceName_ = WantedDevice();

    platform::QuietSoundSystem();
    // SDL would otherwise take SIGINT and SIGTERM for a quit event nobody
    // reads; the console layer owns those signals and ends the game.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    std::string reason;
    if (output->OpenDevice(nullptr, reason)) {
        if (!output->deviceName_.empty() && !Listed(output->deviceName_)) {
            Say("sound: there is no audio device \"%s\"; playing on the default one\n", output->deviceName_.c_str());
        }
        output->watched_ = std::strcmp(SDL_GetCurrentAudioDriver(), "dummy") != 0;
        return output;
    }

    // No sound card: play on through SDL's dummy driver, which keeps the
    // same timing, so the game behaves identically, only silently.
    std::string dummyReason;
    if (!output->OpenDevice("dummy", dummyReason)) {
        Say("sound: no audio output at all (%s)\n", dummyReason.c_str());
        return nullptr;
    }
    Say("sound: no sound device (%s); playing silently\n", reason.c_str());
    return output;
}

void AudioOutput::Resume() {
    device_.Resume();
    if (watched_ && !watcher_.joinable()) watcher_ = std::thread([this] { Watch(); });
}

bool AudioOutput::CloseWithin(std::unique_ptr<AudioOutput> output, std::chrono::milliseconds patience) {
    if (!output) return true;
    struct Closing {
        std::mutex mutex;
        std::condition_variable done;
        bool closed = false;
        bool leftBehind = false;
    };
    auto closing = std::make_shared<Closing>();
    std::thread([closing, output = std::move(output)]() mutable {
        output.reset();
        std::lock_guard lock(closing->mutex);
        closing->closed = true;
        if (closing->leftBehind) --leftBehind;
        closing->done.notify_all();
    }).detach();
    std::unique_lock lock(closing->mutex);
    if (closing->done.wait_for(lock, patience, [&] { return closing->closed; })) return true;
    closing->leftBehind = true;
    ++leftBehind;
    Say("sound: the sound device does not answer; leaving it behind\n");
    return false;
}

AudioOutput::~AudioOutput() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (watcher_.joinable()) watcher_.join();
}

void AudioOutput::Watch() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, kWatchEvery, [this] { return stop_; })) {
        RaiseNewAudioThread(lock);
        if (device_.Playing()) continue;
        Say("sound: the sound device is gone; playing on silently until it is back\n");
        PlaySilentlyUntilBack(lock);
    }
}

void AudioOutput::RaiseNewAudioThread(std::unique_lock<std::mutex>& lock) {
    const std::int64_t thread = audioThread_.load(std::memory_order_relaxed);
    if (thread == 0 || thread == raisedThread_) return;
    raisedThread_ = thread;
    lock.unlock();
    platform::RaiseAudioThread(thread);
    lock.lock();
}

// Sounds go on ending, and speech on being said, at the pace they would be
// heard, so that nothing waits for a device that is not there.
void AudioOutput::PlaySilentlyUntilBack(std::unique_lock<std::mutex>& lock) {
    device_ = SdlDevice();
    audio_ = SdlAudio();
    const int frames = BlockFor(callbackFrames_, "dummy");
    std::vector<unsigned char> block(static_cast<std::size_t>(frames) * want_.channels * sizeof(float));
    const auto blockTime = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(frames) / want_.freq));
    auto due = Clock::now();
    auto retry = due + kRetryEvery;
    while (!stop_) {
        lock.unlock();
        pull_(pulled_, block.data(), static_cast<int>(block.size()));
        lock.lock();
        due += blockTime;
        if (Clock::now() >= retry) {
            lock.unlock();
            std::string ignored;
            const bool back = OpenDevice(nullptr, ignored);
            lock.lock();
            if (back) {
                device_.Resume();
                Say("sound: the sound device is back\n");
                return;
            }
            retry = Clock::now() + kRetryEvery;
        }
        // After a stall the clock catches up, rather than rushing through
        // the missed blocks.
        if (Clock::now() > due + kRetryEvery) due = Clock::now();
        wake_.wait_until(lock, due, [this] { return stop_; });
    }
}

}  // namespace Corvane::detail
