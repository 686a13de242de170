// Keys and lines from standard input, read straight from fd 0 one byte at a
// time so that key reads and line reads never steal bytes from each other.

#include "Platform.h"
#include "Console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>

namespace platform {
namespace {

constexpr int kEscape = 0x1B;
// How long the rest of an escape sequence may take to arrive; a terminal
// sends the whole sequence at once, a person pressing Escape sends nothing.
constexpr int kEscapeWaitMs = 50;

std::mutex inputMutex;
// Bytes read but not yet handed out: the second byte of an arrow key and
// the bytes after an Escape that turned out not to be an arrow.
std::deque<int> pendingBytes;
// Once input has ended it stays ended, so callers get kEndOfInput at once
// instead of blocking on a closed input again.
bool inputEnded = false;

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
        inputEnded = true;
        return kEndOfInput;
    }
}

// Reads for one key. The terminal is in key mode from the first read on.
class KeyReader {
public:
    // The next byte, waiting for it as long as it takes.
    int Next() {
        if (!pendingBytes.empty()) {
            return Pop();
        }
        if (inputEnded) {
            return kEndOfInput;
        }
        posix::UseKeyMode();
        // Waiting in poll first lets ThreadSanitizer, which holds signals
        // back during a plain read, act on Ctrl+C while no key comes.
        WaitReadable(-1);
        return ReadFromInput();
    }

    // A byte that follows within the escape wait, or kEndOfInput if none.
    int Following() {
        if (!pendingBytes.empty()) {
            return Pop();
        }
        if (inputEnded) {
            return kEndOfInput;
        }
        posix::UseKeyMode();
        return WaitReadable(kEscapeWaitMs) ? ReadFromInput() : kEndOfInput;
    }

    static void PutBack(int byte) {
        if (byte != kEndOfInput) {
            pendingBytes.push_front(byte);
        }
    }

private:
    static int Pop() {
        const int byte = pendingBytes.front();
        pendingBytes.pop_front();
        return byte;
    }
};

// The second byte of the console's arrow keys for the last byte of the
// terminal's arrow sequences, or -1.
int ArrowCode(int final) {
    switch (final) {
        case 'A': return kArrowUp;
        case 'B': return kArrowDown;
        case 'C': return kArrowRight;
        case 'D': return kArrowLeft;
        default: return -1;
    }
}

int ReadKey(KeyReader& reader) {
    const int first = reader.Next();
    if (first != kEscape) {
        return first;
    }
    const int intro = reader.Following();
    if (intro != '[' && intro != 'O') {
        KeyReader::PutBack(intro);
        return kEscape;
    }
    const int final = reader.Following();
    const int arrow = ArrowCode(final);
    if (arrow >= 0) {
        KeyReader::PutBack(arrow);
        return kArrowPrefix;
    }
    // Not ours to interpret: hand the bytes on as they came.
    KeyReader::PutBack(final);
    KeyReader::PutBack(intro);
    return kEscape;
}

}  // namespace

int _getch() {
    std::lock_guard lock(inputMutex);
    KeyReader reader;
    return ReadKey(reader);
}

bool ReadLine(std::string& line) {
    std::lock_guard lock(inputMutex);
    line.clear();
    // Echo and line editing for this line only; key mode again after it.
    const posix::LineMode lineMode;
    bool readAny = false;
    for (;;) {
        int byte = kEndOfInput;
        if (!pendingBytes.empty()) {
            byte = pendingBytes.front();
            pendingBytes.pop_front();
        } else if (!inputEnded) {
            byte = ReadFromInput();
        }
        if (byte == kEndOfInput) {
            break;
        }
        readAny = true;
        if (byte == '\n') {
            break;
        }
        line.push_back(static_cast<char>(byte));
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return readAny;
}

}  // namespace platform
