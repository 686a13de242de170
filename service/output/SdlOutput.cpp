#include "output/SdlOutput.h"

#include "common/NativeCount.h"

#include <utility>

namespace Corvane::detail {

SdlAudio SdlAudio::Start(const char* driver, std::string& error) {
    // A driver is chosen through SDL's own hint, so that the subsystem is
    // started and stopped by one matching pair of calls whichever it is.
    if (driver) SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, driver, SDL_HINT_OVERRIDE);
    SdlAudio audio;
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
        audio.started_ = true;
        CountTaken(Native::SdlAudio);
    } else {
        error = SDL_GetError();
    }
    if (driver) SDL_ResetHint(SDL_HINT_AUDIODRIVER);
    return audio;
}

SdlAudio::SdlAudio(SdlAudio&& other) noexcept : started_(std::exchange(other.started_, false)) {}

SdlAudio& SdlAudio::operator=(SdlAudio&& other) noexcept {
    if (this != &other) {
        this->~SdlAudio();
        started_ = std::exchange(other.started_, false);
    }
    return *this;
}

SdlAudio::~SdlAudio() {
    if (!std::exchange(started_, false)) return;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    CountReturned(Native::SdlAudio);
}

SdlDevice SdlDevice::Open(const char* name, const SDL_AudioSpec& want, std::string& error) {
    SdlDevice device;
    device.id_ = SDL_OpenAudioDevice(name, 0, &want, nullptr, 0);
    if (device.id_ == 0) {
        error = SDL_GetError();
    } else {
        CountTaken(Native::SdlDevice);
    }
    return device;
}

SdlDevice::SdlDevice(SdlDevice&& other) noexcept : id_(std::exchange(other.id_, 0)) {}

SdlDevice& SdlDevice::operator=(SdlDevice&& other) noexcept {
    if (this != &other) {
        Reset();
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

SdlDevice::~SdlDevice() { Reset(); }

void SdlDevice::Reset() {
    if (id_ == 0) return;
    SDL_CloseAudioDevice(std::exchange(id_, 0));
    CountReturned(Native::SdlDevice);
}

void SdlDevice::Resume() const {
    if (id_) SDL_PauseAudioDevice(id_, 0);
}

bool SdlDevice::Playing() const { return id_ != 0 && SDL_GetAudioDeviceStatus(id_) == SDL_AUDIO_PLAYING; }

}  // namespace Corvane::detail
