#include "Console.h"
#include "LineMode.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace platform::posix {
namespace {

enum Mode : int { Untouched, Keys, Line, Ended };

// The settings found at the first read and the two modes made from them.
// Written once, before any handler is installed; only read after that, so
// the handlers may read them at any moment.
termios originalSettings{};
termios keySettings{};
termios lineSettings{};

// The mode the program reads in, given back to the terminal after a stop.
// Ended once the settings are back for good: nothing changes them again.
std::atomic<int> wanted{Untouched};
// Whether the terminal holds settings of ours that must be taken back.
std::atomic<bool> changed{false};
// Held by whoever changes the terminal or the two above: the reading
// thread or a handler. Holders have the handled signals blocked, so no
// handler can wait for a lock its own thread holds.
std::atomic_flag switching = ATOMIC_FLAG_INIT;
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "used from signal handlers");

constexpr int kEndingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kEndingSignals) {
        sigaddset(&set, sig);
    }
    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGCONT);
    return set;
}

void Lock() noexcept {
    while (switching.test_and_set(std::memory_order_acquire)) {
        // The holder is another thread about to finish one tcsetattr.
        poll(nullptr, 0, 1);
    }
}

void Unlock() noexcept { switching.clear(std::memory_order_release); }

void Apply(const termios& settings) noexcept {
    // TCSANOW, never TCSAFLUSH: keys typed ahead must not be thrown away.
    while (tcsetattr(STDIN_FILENO, TCSANOW, &settings) != 0 && errno == EINTR) {}
}

// False only while the shell has the terminal (after bg): it is not ours
// to change then. A terminal that is not the controlling one has no owner.
bool InForeground() noexcept {
    const pid_t owner = tcgetpgrp(STDIN_FILENO);
    return owner == -1 || owner == getpgrp();
}

// With the lock held.
void GiveBack() noexcept {
    if (changed.exchange(false)) {
        Apply(originalSettings);
    }
}

// With the lock held.
void ApplyWanted() noexcept {
    const int mode = wanted.load();
    if ((mode == Keys || mode == Line) && InForeground()) {
        Apply(mode == Keys ? keySettings : lineSettings);
        changed.store(true);
    }
}

// All handlers below are async-signal-safe: lock-free atomics, tcsetattr,
// tcgetpgrp, getpgrp, poll, sigaction, sigemptyset, sigaddset,
// pthread_sigmask and raise only.

// With the default action back, raising the signal again (delivered when
// the handler returns) ends the process the way it would have ended
// without us.
void OnEndingSignal(int sig) {
    const int savedErrno = errno;
    Lock();
    wanted.store(Ended);
    GiveBack();
    Unlock();
    struct sigaction original {};
    original.sa_handler = SIG_DFL;
    sigemptyset(&original.sa_mask);
    sigaction(sig, &original, nullptr);
    raise(sig);
    errno = savedErrno;
}

// Ctrl+Z: the shell gets the terminal back as it was, then the process
// stops the usual way. The lock is held through the stop, so nothing puts
// key mode back before the process has stopped.
void OnStop(int /*sig*/) {
    const int savedErrno = errno;
    Lock();
    GiveBack();
    struct sigaction ours {};
    struct sigaction stop {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTSTP, &stop, &ours);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    // Stops here; returns when continued. In a process group with no shell
    // to continue it the kernel drops the stop and this returns at once.
    raise(SIGTSTP);
    pthread_sigmask(SIG_BLOCK, &only, nullptr);
    sigaction(SIGTSTP, &ours, nullptr);
    ApplyWanted();
    Unlock();
    errno = savedErrno;
}

// fg, also after a stop that was not ours to see (SIGSTOP, or a read from
// the background): the mode the program reads in comes back at once.
void OnContinue(int /*sig*/) {
    const int savedErrno = errno;
    Lock();
    ApplyWanted();
    Unlock();
    errno = savedErrno;
}

void RestoreAtExit() {
    sigset_t handled = HandledSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &handled, &previous);
    Lock();
    wanted.store(Ended);
    GiveBack();
    Unlock();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Install(int sig, void (*handler)(int), int flags) {
    struct sigaction current {};
    // An ignored signal stays ignored (nohup, a shell without job control),
    // and a handler the program installed itself stays its own.
    if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = handler;
    // Handlers never interrupt one another, and a restore written while in
    // the background must not stop the process (SIGTTOU).
    action.sa_mask = HandledSignals();
    sigaddset(&action.sa_mask, SIGTTOU);
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

// True when standard input is a terminal, which then has its settings kept
// and its handlers installed.
bool SetUp() {
    static std::once_flag once;
    static bool isTerminal = false;
    std::call_once(once, [] {
        termios current{};
        if (tcgetattr(STDIN_FILENO, &current) != 0) {
            return;  // not a terminal: bytes are read as they come
        }
        originalSettings = current;

        keySettings = current;
        // ISIG stays on so that Ctrl+C, Ctrl+\ and Ctrl+Z still work.
        keySettings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        keySettings.c_cc[VMIN] = 1;
        keySettings.c_cc[VTIME] = 0;

        lineSettings = current;
        lineSettings.c_lflag |= ICANON | ECHO | ECHOE;
        // Names are UTF-8 text: the erase key takes a whole character back.
        lineSettings.c_iflag |= IUTF8;

        for (const int sig : kEndingSignals) {
            Install(sig, OnEndingSignal, 0);
        }
        // Reads and sleeps elsewhere in the program carry on after a stop.
        Install(SIGTSTP, OnStop, SA_RESTART);
        Install(SIGCONT, OnContinue, SA_RESTART);
        std::atexit(RestoreAtExit);
        isTerminal = true;
    });
    return isTerminal;
}

void Switch(Mode mode) {
    sigset_t handled = HandledSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &handled, &previous);
    Lock();
    if (wanted.load() != Ended) {
        wanted.store(mode);
        ApplyWanted();
    }
    Unlock();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

void UseKeyMode() {
    if (SetUp() && wanted.load() != Keys) {
        Switch(Keys);
    }
}

}  // namespace platform::posix

namespace platform {

LineMode::LineMode() {
    if (posix::SetUp()) {
        posix::Switch(posix::Line);
    }
}

LineMode::~LineMode() {
    if (posix::SetUp()) {
        posix::Switch(posix::Keys);
    }
}

}  // namespace platform
