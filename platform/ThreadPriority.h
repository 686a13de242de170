// Real-time priority for the sound output's thread. A POSIX and a Windows
// version (posix/ThreadPriority.cpp, windows/ThreadPriority.cpp).
#pragma once

#include <cstdint>

namespace platform {

// The calling thread's number, by which RaiseAudioThread knows it.
std::int64_t CurrentThreadNumber();
// Asks real-time scheduling for the sound output's thread `thread` of this
// process, so that busy programs at the same priority cannot hold its
// blocks back: a low real-time priority, below the sound server's own, not
// inherited by children; taken directly where the system allows it, else
// asked of the system's service for it, which may take a moment, so it is
// asked from another thread. False where neither grants it: the thread then
// plays on as it was.
bool RaiseAudioThread(std::int64_t thread);

}  // namespace platform
