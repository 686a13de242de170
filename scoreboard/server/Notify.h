// The service manager's readiness protocol (sd_notify): one datagram of
// "NAME=value" lines to the Unix socket $NOTIFY_SOCKET names, if any.
#pragma once

#include <string_view>

namespace scoreboard {

// Sends `state` (such as "READY=1"); false when there is no socket to send
// to or the send failed, which is no reason to stop serving.
bool NotifyServiceManager(std::string_view state);

}  // namespace scoreboard
