// The sound card as the mixer uses it: SDL pulls blocks of float stereo
// from a callback; without a sound card, SDL's dummy driver pulls at the
// same pace, so the game plays on the same, only silently. A device lost
// while playing (the sound server gone) is replaced by a silent clock of
// our own, and opened again in the background once it is back.
#pragma once

#include "output/SdlOutput.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Corvane::detail {

// A sound card pulls 10 ms at a time. Through a sound server that is also
// what stays queued there (about 9 ms): with 5 ms blocks (4 ms queued) a
// busy machine let it run dry several times a second; with 10 ms it rarely
// does, and a player hears a key well within the 12 ms that goes unnoticed.
constexpr int kCallbackFrames = 480;
// SDL's dummy driver (no sound card: nothing is heard) paces itself by
// sleeping a block's length after each one, and falls 5-20% behind real time
// with 5 ms blocks; 10 ms blocks keep it within a few percent.
constexpr int kSilentCallbackFrames = 480;

// The output device to open from the next start on, by the name SDL lists
// ("" for the system's default). Until one is chosen, BARNBLAST_AUDIO_DEVICE
// names it.
void ChooseOutputDevice(const std::string& name);
// The names of the output devices SDL sees, on its own choice of driver;
// empty, with `error` set, when the sound system does not start.
std::vector<std::string> OutputDeviceNames(std::string& error);

class AudioOutput {
public:
    // Fills `bytes` bytes at `stream` with the next block; called on SDL's
    // audio thread, or on the output's own while the device is lost.
    using Pull = void (*)(void* self, unsigned char* stream, int bytes);

    // Opens the chosen device (an unknown one said in one line, and the
    // default opened instead), else the dummy driver (saying so in one
    // line), at `rate` frames a second of float stereo, `callbackFrames` at
    // a time (0: as fits the device, above). Paused until Resume. nullptr,
    // with one line said, when not even the dummy driver opens, or while
    // an output left behind (CloseWithin) is still closing.
    static std::unique_ptr<AudioOutput> Open(int rate, int callbackFrames, Pull pull, void* self);
    // Starts pulling, and watching for the device's loss.
    void Resume();
    // Closes `output` within `patience`: a sound server that has stopped
    // answering holds SDL's audio thread, and closing waits for that thread.
    // Past the patience, one line says so and the output is left behind,
    // closing on its own if the server ever answers again; its callbacks
    // must stay harmless meanwhile. False when left behind.
    static bool CloseWithin(std::unique_ptr<AudioOutput> output, std::chrono::milliseconds patience);
    ~AudioOutput();

private:
    AudioOutput() = default;
    // SDL's callback: on each audio thread's first block, names the thread
    // for the watcher to raise; then pulls.
    static void OnAudioThread(void* self, unsigned char* stream, int bytes);
    // Opens the device SDL's driver offers by `name`, or its default.
    bool OpenDevice(const char* driver, std::string& error);
    // The watcher: every 100 ms asks real-time scheduling for a new audio
    // thread (the asking may wait on a system service, which the audio
    // thread must not) and looks whether the device still plays; once it
    // is gone, pulls blocks at real time itself and tries to reopen.
    void Watch();
    void RaiseNewAudioThread(std::unique_lock<std::mutex>& lock);
    void PlaySilentlyUntilBack(std::unique_lock<std::mutex>& lock);

    SDL_AudioSpec want_{};
    Pull pull_ = nullptr;
    void* pulled_ = nullptr;  // what pull_ fills for
    int callbackFrames_ = 0;
    std::string deviceName_;  // "" for the default
    bool watched_ = false;    // false on the dummy driver: it cannot be lost
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;                         // guarded by mutex_
    std::atomic<std::int64_t> audioThread_{0};  // the latest audio thread, set by it
    std::int64_t raisedThread_ = 0;             // the watcher's: the last one it raised
    std::thread watcher_;
    // The device is closed before the subsystem it runs on.
    SdlAudio audio_;
    SdlDevice device_;
};

}  // namespace Corvane::detail
