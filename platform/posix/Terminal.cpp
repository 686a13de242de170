#include "Terminal.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>

namespace platform::posix {
namespace {

// Written only while keyModeOn is false; read by the signal handler only while
// it is true, so the handler never sees a half-written copy.
termios savedSettings{};
std::atomic<bool> keyModeOn{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

// Async-signal-safe: one atomic exchange and tcsetattr.
void RestoreIfRaw() noexcept {
    if (!keyModeOn.exchange(false)) {
        return;
    }
    while (tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings) != 0 && errno == EINTR) {}
}

void RestoreAtExit() { RestoreIfRaw(); }

// With the default action back, raising the signal again (delivered when
// the handler returns) ends the process the way it would have ended
// without us.
void OnEndingSignal(int sig) {
    const int savedErrno = errno;
    RestoreIfRaw();
    struct sigaction original {};
    original.sa_handler = SIG_DFL;
    sigemptyset(&original.sa_mask);
    sigaction(sig, &original, nullptr);
    raise(sig);
    errno = savedErrno;
}

void InstallRestoreHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
            struct sigaction current {};
            // An ignored signal stays ignored (nohup), and a handler the
            // program installed itself stays its own.
            if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
                continue;
            }
            struct sigaction action {};
            action.sa_handler = OnEndingSignal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;
            sigaction(sig, &action, nullptr);
        }
        std::atexit(RestoreAtExit);
    });
}

}  // namespace

void RawInput::Enter() {
    if (entered_) {
        return;
    }
    termios current{};
    if (tcgetattr(STDIN_FILENO, &current) != 0) {
        return;  // not a terminal: bytes are read as they come
    }
    InstallRestoreHandlers();
    savedSettings = current;

    termios raw = current;
    // ISIG stays on so that Ctrl+C still ends the game.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Marked before the switch so a signal arriving during it still restores.
    keyModeOn.store(true);
    // TCSANOW, not TCSAFLUSH: keys typed ahead must not be thrown away.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        keyModeOn.store(false);
        return;
    }
    entered_ = true;
}

RawInput::~RawInput() {
    if (entered_) {
        RestoreIfRaw();
    }
}

}  // namespace platform::posix
