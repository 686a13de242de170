// The device and render side of the mixer: OpenAL Soft's loopback device,
// which renders the mix into our own buffers on demand, so the output is
// ours to choose and tests render it sample-exact.
#pragma once

#include "mixer/AlObjects.h"

namespace Corvane::detail {

constexpr int kMixRate = 48000;
constexpr int kMixChannels = 2;
// The mix is made in updates of 2.5 ms: OpenAL Soft spreads a pan or volume
// change over the update it lands in (1.24, the Windows build's, over its
// first 64 frames), so a change is complete at most 2.5 ms into the first
// 10 ms block that carries it.
constexpr int kUpdateFrames = 120;

class Loopback {
public:
    // Opens the device at kMixRate float stereo, with HRTF only if `hrtf`,
    // with a context made current and no distance attenuation (sounds are
    // placed by angle alone). False, with one line said, when OpenAL Soft
    // cannot.
    bool Open(bool hrtf);
    // Turns HRTF on or off on the open device; never while it renders. False,
    // with one line said, when it could not be turned on.
    bool SetHrtf(bool on);
    ALCdevice* Device() const { return device_.Get(); }

    // Renders `frames` stereo frames of `device`'s mix into `out`, in updates
    // of `updateFrames`. Never two at once on one device (the caller's to
    // ensure): OpenAL Soft 1.24 leaves its mix count odd after two
    // overlapping renders, and every later source call then spins forever.
    static void Render(ALCdevice* device, float* out, int frames, int updateFrames);

private:
    // The context is given back before the device.
    AlcDevice device_;
    AlcContext context_;
};

}  // namespace Corvane::detail
