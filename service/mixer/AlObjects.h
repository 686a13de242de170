// One owner per OpenAL handle: the loopback device, its context, a source, a
// buffer. Each is move-only, and its destructor gives the handle back.
//
// Sources and buffers are deleted through the current context, so every one
// of them must be released before the context is; the engine does all of
// this under its own lock.
#pragma once

#include "common/NativeCount.h"

#include <AL/al.h>
#include <AL/alc.h>

#include <utility>

namespace Corvane::detail {

// A handle of type H with a release function; `kEmpty` is "holds nothing".
template <typename H, Native kKind, void (*kRelease)(H)>
class AlOwner {
public:
    AlOwner() = default;
    explicit AlOwner(H handle) : handle_(handle) {
        if (handle_) CountTaken(kKind);
    }
    AlOwner(AlOwner&& other) noexcept : handle_(std::exchange(other.handle_, H{})) {}
    AlOwner& operator=(AlOwner&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, H{});
        }
        return *this;
    }
    AlOwner(const AlOwner&) = delete;
    AlOwner& operator=(const AlOwner&) = delete;
    ~AlOwner() { Reset(); }

    void Reset() {
        if (!handle_) return;
        kRelease(std::exchange(handle_, H{}));
        CountReturned(kKind);
    }
    H Get() const { return handle_; }
    explicit operator bool() const { return handle_ != H{}; }

private:
    H handle_{};
};

void DeleteAlSource(ALuint id);
void DeleteAlBuffer(ALuint id);
void DestroyAlcContext(ALCcontext* context);
void CloseAlcDevice(ALCdevice* device);

using AlSource = AlOwner<ALuint, Native::AlSource, &DeleteAlSource>;
using AlBuffer = AlOwner<ALuint, Native::AlBuffer, &DeleteAlBuffer>;
using AlcContext = AlOwner<ALCcontext*, Native::AlcContext, &DestroyAlcContext>;
using AlcDevice = AlOwner<ALCdevice*, Native::AlcDevice, &CloseAlcDevice>;

// A fresh source or buffer of the current context; empty when OpenAL has
// none to give.
AlSource GenerateSource();
AlBuffer GenerateBuffer();

}  // namespace Corvane::detail
