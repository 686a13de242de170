// Hooks for the service's own tests and benchmarks (target corvane_testing,
// never linked into the game): run the mixer without an output device, pull
// rendered audio by hand, sample-exact, and count native handles.
#pragma once

#include <string>
#include <vector>

namespace Corvane::testing {

// Like InitLib, but opens no output device; audio moves only on Render.
// Sounds longer than `streamAboveMs` are streamed (the service's own limit
// by default); streamed sounds are refilled by ServiceStreams.
bool InitLibWithoutOutput(int slots, int streamAboveMs = -1);
// Refills streamed sounds' queues now, as the stream thread does every 20 ms.
void ServiceStreams();
// Like InitLib, with the output pulling `callbackFrames` at a time, mixed in
// updates of `updateFrames` (benchmarks compare block sizes in one run).
bool InitLibWithBlocks(int slots, int callbackFrames, int updateFrames);
// Renders `frames` stereo frames (interleaved left, right); silence when the
// mixer is not running.
std::vector<float> Render(int frames);
// Waits until queued speech has been synthesized and handed to the mixer.
bool WaitSpeechIdle(int timeoutMs);

// Calls `observer` on the audio thread with every block right after it is
// mixed; nullptr stops it. It must not block.
void SetRenderObserver(void (*observer)(const float* stereo, int frames));

// Native handles of one kind taken and given back so far in this process.
struct NativeTally {
    std::string kind;
    long taken = 0;
    long returned = 0;
};
std::vector<NativeTally> NativeTallies();

}  // namespace Corvane::testing
