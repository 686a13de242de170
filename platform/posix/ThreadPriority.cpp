#include "ThreadPriority.h"

#include "posix/RealtimeKit.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

std::int64_t CurrentThreadNumber() { return static_cast<std::int64_t>(::syscall(SYS_gettid)); }

bool RaiseAudioThread(std::int64_t thread) {
#if defined(__linux__)
    // PulseAudio's own threads take priority 5 by default: just below it.
    constexpr int kPriority = 4;
    sched_param param{};
    param.sched_priority = kPriority;
    const auto id = static_cast<pid_t>(thread);
    if (::sched_setscheduler(id, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return true;
    // A user's program may not take it itself on most desktops, but may ask
    // the system's service for it.
    return posix::RaiseThroughRealtimeKit(id, kPriority);
#else
    (void)thread;
    return false;
#endif
}

}  // namespace platform
