// Keys and lines from standard input, read straight from fd 0 one byte at a
// time so that key reads and line reads never steal bytes from each other.

#include "Console.h"
#include "KeyDecoder.h"
#include "LineMode.h"
#include "Platform.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>

namespace platform {
namespace {

std::mutex inputMutex;
KeyDecoder decoder;

// Waits up to timeoutMs (-1: without limit) for fd 0 to have a byte or to
// report its end. False only when the time ran out.
bool WaitReadable(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int ready = poll(&fd, 1, wait);
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            return false;
        }
        if (errno != EINTR) {
            return true;  // let read report the fault
        }
    }
}

// One byte from fd 0. Its end, or a fault reading it, ends input.
int ReadFromInput() {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1) {
            return byte;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            WaitReadable(-1);  // someone made fd 0 non-blocking
            continue;
        }
        return kEndOfInput;
    }
}

// A byte for a key. The terminal is in key mode from the first read on.
int ReadForKey(int timeoutMs) {
    posix::UseKeyMode();
    // Waiting in poll first lets ThreadSanitizer, which holds signals back
    // during a plain read, act on Ctrl+C while no key comes.
    return WaitReadable(timeoutMs) ? ReadFromInput() : KeyDecoder::kNoByteYet;
}

// A byte of a line, typed while the terminal echoes and edits.
int ReadForLine(int /*timeoutMs*/) { return ReadFromInput(); }

}  // namespace

int _getch() {
    std::lock_guard lock(inputMutex);
    return decoder.Key(ReadForKey);
}

bool ReadLine(std::string& line) {
    std::lock_guard lock(inputMutex);
    // Echo and line editing for this line only; key mode again after it.
    const LineMode lineMode;
    return decoder.Line(ReadForLine, line);
}

}  // namespace platform
