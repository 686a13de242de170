#include "mixer/Loopback.h"

#include "common/Log.h"
#include "mixer/AlCheck.h"

#include "Environment.h"

#include <AL/alext.h>

#include <algorithm>
#include <cstddef>

namespace Corvane::detail {
namespace {

LPALCLOOPBACKOPENDEVICESOFT pLoopbackOpen;
LPALCISRENDERFORMATSUPPORTEDSOFT pFormatSupported;
LPALCRENDERSAMPLESSOFT pRenderSamples;

bool LoadLoopbackEntryPoints() {
    if (!alcIsExtensionPresent(nullptr, "ALC_SOFT_loopback")) return false;
    pLoopbackOpen =
        reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    pFormatSupported = reinterpret_cast<LPALCISRENDERFORMATSUPPORTEDSOFT>(
        alcGetProcAddress(nullptr, "alcIsRenderFormatSupportedSOFT"));
    pRenderSamples = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    return pLoopbackOpen && pFormatSupported && pRenderSamples;
}

// Only the loopback device is used: OpenAL Soft is kept from probing its
// output backends (PulseAudio would start a thread of its own). Set while the
// program starts, before any thread could read the environment, and only
// when the user has not chosen otherwise.
[[maybe_unused]] const bool kOpenAlConfigured = [] {
    platform::SetEnvDefault("ALSOFT_DRIVERS", "null");
    return true;
}();

}  // namespace

bool Loopback::Open() {
    if (!LoadLoopbackEntryPoints()) {
        Say("sound: OpenAL Soft's loopback device is not available; no sound\n");
        return false;
    }
    device_ = AlcDevice(pLoopbackOpen(nullptr));
    if (!device_ || !pFormatSupported(device_.Get(), kMixRate, ALC_STEREO_SOFT, ALC_FLOAT_SOFT)) {
        Say("sound: OpenAL Soft cannot render 48 kHz float stereo; no sound\n");
        return false;
    }
    const ALCint attributes[] = {ALC_FORMAT_CHANNELS_SOFT,
                                 ALC_STEREO_SOFT,
                                 ALC_FORMAT_TYPE_SOFT,
                                 ALC_FLOAT_SOFT,
                                 ALC_FREQUENCY,
                                 kMixRate,
                                 ALC_HRTF_SOFT,
                                 ALC_FALSE,
                                 0};
    context_ = AlcContext(alcCreateContext(device_.Get(), attributes));
    if (!context_ || !alcMakeContextCurrent(context_.Get())) {
        Say("sound: cannot create the OpenAL mixing context; no sound\n");
        return false;
    }
    AL_CHECK(alDistanceModel(AL_NONE));
    return true;
}

void Loopback::Render(ALCdevice* device, float* out, int frames, int updateFrames) {
    for (int done = 0; done < frames; done += updateFrames) {
        pRenderSamples(device, out + static_cast<std::ptrdiff_t>(done) * kMixChannels,
                       std::min(updateFrames, frames - done));
    }
}

}  // namespace Corvane::detail
