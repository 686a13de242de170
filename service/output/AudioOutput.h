// The sound card as the mixer uses it: SDL pulls blocks of float stereo
// from a callback; without a sound card, SDL's dummy driver pulls at the
// same pace, so the game plays on the same, only silently.
#pragma once

#include "output/SdlOutput.h"

#include <memory>

namespace Corvane::detail {

// A sound card pulls 5 ms at a time.
constexpr int kCallbackFrames = 240;
// SDL's dummy driver (no sound card: nothing is heard) paces itself by
// sleeping a block's length after each one, and falls 5-20% behind real time
// with 5 ms blocks; 10 ms blocks keep it within a few percent.
constexpr int kSilentCallbackFrames = 480;

class AudioOutput {
public:
    // Fills `bytes` bytes at `stream` with the next block; called on SDL's
    // audio thread.
    using Pull = void (*)(void* self, unsigned char* stream, int bytes);

    // Opens the default device, else the dummy driver (saying so in one
    // line), at `rate` frames a second of float stereo, `callbackFrames` at a
    // time (0: as fits the device, above). Paused until Resume. nullptr, with
    // one line said, when not even the dummy driver opens.
    static std::unique_ptr<AudioOutput> Open(int rate, int callbackFrames, Pull pull, void* self);
    void Resume() const { device_.Resume(); }

private:
    // The device is closed before the subsystem it runs on.
    SdlAudio audio_;
    SdlDevice device_;
};

}  // namespace Corvane::detail
