// A private D-Bus daemon in a scratch folder, standing in for the system
// bus: what a suite puts on it is seen only by the processes it points
// there (DBUS_SYSTEM_BUS_ADDRESS); no system bus is touched.
#pragma once

#include "TempFolder.h"

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace testsupport {

// Why the daemon cannot be had here ("" when dbus-daemon is installed).
std::string PrivateBusMissing();

class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Starts the daemon and waits until it answers.
    bool Start(std::string& error);
    // The address a client connects to, as D-Bus writes it.
    std::string Address() const { return "unix:path=" + (root_ / "bus").string(); }

private:
    TempFolder root_{"barnblast-bus"};
    pid_t daemon_ = -1;
};

}  // namespace testsupport
