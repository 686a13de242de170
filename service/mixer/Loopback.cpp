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
LPALCRESETDEVICESOFT pResetDevice;

bool LoadLoopbackEntryPoints() {
    if (!alcIsExtensionPresent(nullptr, "ALC_SOFT_loopback")) return false;
    pLoopbackOpen =
        reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    pFormatSupported = reinterpret_cast<LPALCISRENDERFORMATSUPPORTEDSOFT>(
        alcGetProcAddress(nullptr, "alcIsRenderFormatSupportedSOFT"));
    pRenderSamples = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    // Only for turning HRTF on or off while running; optional.
    pResetDevice = reinterpret_cast<LPALCRESETDEVICESOFT>(alcGetProcAddress(nullptr, "alcResetDeviceSOFT"));
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

// The device's format, with HRTF on or off; a zero-ended attribute list.
struct Attributes {
    explicit Attributes(bool hrtf)
        : list{ALC_FORMAT_CHANNELS_SOFT,
               ALC_STEREO_SOFT,
               ALC_FORMAT_TYPE_SOFT,
               ALC_FLOAT_SOFT,
               ALC_FREQUENCY,
               kMixRate,
               ALC_HRTF_SOFT,
               hrtf ? ALC_TRUE : ALC_FALSE,
               0} {}
    ALCint list[9];
};

bool HrtfOn(ALCdevice* device) {
    ALCint status = ALC_HRTF_DISABLED_SOFT;
    alcGetIntegerv(device, ALC_HRTF_STATUS_SOFT, 1, &status);
    return status == ALC_HRTF_ENABLED_SOFT;
}

}  // namespace

bool Loopback::Open(bool hrtf) {
    if (!LoadLoopbackEntryPoints()) {
        Say("sound: OpenAL Soft's loopback device is not available; no sound\n");
        return false;
    }
    device_ = AlcDevice(pLoopbackOpen(nullptr));
    if (!device_ || !pFormatSupported(device_.Get(), kMixRate, ALC_STEREO_SOFT, ALC_FLOAT_SOFT)) {
        Say("sound: OpenAL Soft cannot render 48 kHz float stereo; no sound\n");
        return false;
    }
    context_ = AlcContext(alcCreateContext(device_.Get(), Attributes(hrtf).list));
    if (!context_ || !alcMakeContextCurrent(context_.Get())) {
        Say("sound: cannot create the OpenAL mixing context; no sound\n");
        return false;
    }
    AL_CHECK(alDistanceModel(AL_NONE));
    if (hrtf && !HrtfOn(device_.Get())) {
        Say("sound: OpenAL Soft has no HRTF for headphones here; plain stereo instead\n");
    }
    return true;
}

bool Loopback::SetHrtf(bool on) {
    if (!pResetDevice || !pResetDevice(device_.Get(), Attributes(on).list)) {
        Say("sound: cannot switch OpenAL Soft's HRTF %s\n", on ? "on" : "off");
        return false;
    }
    if (on && !HrtfOn(device_.Get())) {
        Say("sound: OpenAL Soft has no HRTF for headphones here; plain stereo instead\n");
        return false;
    }
    return true;
}

void Loopback::Render(ALCdevice* device, float* out, int frames, int updateFrames) {
    for (int done = 0; done < frames; done += updateFrames) {
        pRenderSamples(device, out + static_cast<std::ptrdiff_t>(done) * kMixChannels,
                       std::min(updateFrames, frames - done));
    }
}

}  // namespace Corvane::detail
