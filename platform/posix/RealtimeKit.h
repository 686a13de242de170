// Real-time scheduling through RealtimeKit, the system service that lets a
// desktop user's programs have it (the sound server's own threads get
// theirs the same way), asked over the system bus.
#pragma once

#include <sys/types.h>

namespace platform::posix {

// Asks real-time scheduling at `priority` (lowered to the most the service
// allows) for thread `thread` of this process. False when there is no
// system bus, no such service, or it refuses.
bool RaiseThroughRealtimeKit(pid_t thread, int priority);

}  // namespace platform::posix
