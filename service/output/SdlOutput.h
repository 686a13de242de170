// The sound output: SDL's audio subsystem and one device opened on it, each
// with one owner that starts it and stops it with the matching call.
#pragma once

#include <SDL2/SDL.h>

#include <string>

namespace Corvane::detail {

// SDL's audio subsystem, started on one driver (or on SDL's own choice).
class SdlAudio {
public:
    SdlAudio() = default;
    // nullptr leaves the driver to SDL (and to SDL_AUDIODRIVER). On failure
    // the owner is empty and `error` says why.
    static SdlAudio Start(const char* driver, std::string& error);
    SdlAudio(SdlAudio&& other) noexcept;
    SdlAudio& operator=(SdlAudio&& other) noexcept;
    SdlAudio(const SdlAudio&) = delete;
    SdlAudio& operator=(const SdlAudio&) = delete;
    ~SdlAudio();

    explicit operator bool() const { return started_; }

private:
    bool started_ = false;
};

// One open output device; closing it returns once no callback runs.
class SdlDevice {
public:
    SdlDevice() = default;
    // Opens the device called `name` (nullptr: the default one) of the
    // running subsystem with exactly `want`; on failure the owner is empty
    // and `error` says why.
    static SdlDevice Open(const char* name, const SDL_AudioSpec& want, std::string& error);
    SdlDevice(SdlDevice&& other) noexcept;
    SdlDevice& operator=(SdlDevice&& other) noexcept;
    SdlDevice(const SdlDevice&) = delete;
    SdlDevice& operator=(const SdlDevice&) = delete;
    ~SdlDevice();

    void Resume() const;
    // False once the driver has found the device gone (a sound server that
    // died, headphones unplugged): it pulls no more and must be reopened.
    bool Playing() const;
    explicit operator bool() const { return id_ != 0; }

private:
    void Reset();
    SDL_AudioDeviceID id_ = 0;
};

}  // namespace Corvane::detail
