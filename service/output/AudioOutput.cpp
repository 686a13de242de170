#include "output/AudioOutput.h"

#include "common/Log.h"

#include "Environment.h"

#include <cstring>
#include <string>

namespace Corvane::detail {

std::unique_ptr<AudioOutput> AudioOutput::Open(int rate, int callbackFrames, Pull pull, void* self) {
    SDL_AudioSpec want{};
    want.freq = rate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.callback = pull;
    want.userdata = self;

    platform::QuietSoundSystem();
    // SDL would otherwise take SIGINT and SIGTERM for a quit event nobody
    // reads; the console layer owns those signals and ends the game.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    const auto blockFor = [callbackFrames](const char* driver) {
        if (callbackFrames > 0) return callbackFrames;
        return driver && std::strcmp(driver, "dummy") == 0 ? kSilentCallbackFrames : kCallbackFrames;
    };
    auto output = std::unique_ptr<AudioOutput>(new AudioOutput);
    std::string reason;
    output->audio_ = SdlAudio::Start(nullptr, reason);
    want.samples = static_cast<Uint16>(blockFor(SDL_GetCurrentAudioDriver()));
    if (output->audio_) output->device_ = SdlDevice::Open(want, reason);
    if (output->device_) return output;

    // No sound card: play on through SDL's dummy driver, which keeps the
    // same timing, so the game behaves identically, only silently.
    output->audio_ = SdlAudio();
    std::string dummyReason;
    output->audio_ = SdlAudio::Start("dummy", dummyReason);
    want.samples = static_cast<Uint16>(blockFor("dummy"));
    if (output->audio_) output->device_ = SdlDevice::Open(want, dummyReason);
    if (!output->device_) {
        Say("sound: no audio output at all (%s)\n", dummyReason.c_str());
        return nullptr;
    }
    Say("sound: no sound device (%s); playing silently\n", reason.c_str());
    return output;
}

}  // namespace Corvane::detail
