#include "Platform.h"

#include <process.h>
#include <windows.h>

#include <chrono>
#include <cstdint>

namespace platform {

std::intptr_t _beginthread(void (*routine)(void*), unsigned stackSize, void* arg) {
    if (routine == nullptr) return -1;
    // The runtime's own: it sets up the thread's C library state, and 0
    // means the default stack size.
    const std::uintptr_t handle = ::_beginthread(routine, stackSize, arg);
    if (handle == static_cast<std::uintptr_t>(-1) || handle == 0) return -1;
    // Callers only compare with -1; anything else is success.
    return static_cast<std::intptr_t>(handle);
}

void Sleep(std::uint32_t ms) {
    // The system's Sleep can wake up to a timer tick early; the caller was
    // promised at least `ms`.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    ::Sleep(ms);
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        ::Sleep(static_cast<DWORD>(left.count()));
    }
}

std::uint32_t Milliseconds() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace platform
