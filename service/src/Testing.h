// Hooks for the service's own tests: run the mixer without an output device
// and pull rendered audio by hand, sample-exact.
#pragma once

#include <vector>

namespace Corvane::testing {

// Like InitLib, but opens no output device; audio moves only on Render.
bool InitLibWithoutOutput(int slots);
// Renders `frames` stereo frames (interleaved left, right).
std::vector<float> Render(int frames);
// Waits until queued speech has been synthesized and handed to the mixer.
bool WaitSpeechIdle(int timeoutMs);

// Calls `observer` on the audio thread with every block right after it is
// mixed; nullptr stops it. It must not block.
void SetRenderObserver(void (*observer)(const float* stereo, int frames));

}  // namespace Corvane::testing
