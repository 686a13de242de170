#include "PrivateBus.h"

#include "ChildProcess.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace testsupport {

std::string PrivateBusMissing() {
    return OnPath("dbus-daemon") ? "" : "dbus-daemon is not installed (Debian: dbus-daemon)";
}

// The daemon first: the folder, with its socket, goes after it.
PrivateBus::~PrivateBus() { KillAndReap(daemon_); }

bool PrivateBus::Start(std::string& error) {
    // Anyone may connect, own a name and call anything: the suite stands in
    // for the system's services and policies alike.
    std::ofstream(root_ / "bus.conf")
        << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>)"
        << Address() << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
    const int log = ::open((root_ / "daemon.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    daemon_ = Spawn({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + (root_ / "bus.conf").string()}, {},
                    log, log);
    if (log >= 0) ::close(log);
    if (WaitToAnswer(daemon_, root_ / "bus")) return true;
    std::ifstream in(root_ / "daemon.log");
    error = "dbus-daemon did not start: " + std::string(std::istreambuf_iterator<char>(in), {});
    return false;
}

}  // namespace testsupport
