// Keys from input that arrives as a terminal sends it: its arrow sequences
// (Escape, '[' or 'O', then A, B, C or D) become the console's two bytes,
// everything else is handed on as it came. Both systems' key readers decode
// through it: the POSIX one for every input, the Windows one for a pipe or
// a file. It reads only through the function it is given, so the same
// bytes in give the same keys out on every system.
#pragma once

#include <deque>
#include <string>

namespace platform {

class KeyDecoder {
public:
    // How long the rest of an escape sequence may take to arrive; a terminal
    // sends the whole sequence at once, a person pressing Escape sends
    // nothing.
    static constexpr int kEscapeWaitMs = 50;
    // What a read returns when no byte came within its time.
    static constexpr int kNoByteYet = -2;

    // One byte of input (0..255), waiting up to `timeoutMs` for it (-1: as
    // long as it takes). kEndOfInput once input has ended, kNoByteYet when
    // the time ran out.
    using Read = int (*)(int timeoutMs);

    // One key as _getch returns it (see Platform.h).
    int Key(Read read);

    // One line without its line end, bytes held back from keys first, so
    // that key reads and line reads never steal bytes from each other. False
    // when input ended before any byte came.
    bool Line(Read read, std::string& line);

private:
    // The next byte, waiting for it as long as it takes.
    int Next(Read read);
    // A byte that follows within kEscapeWaitMs, or kEndOfInput if none.
    int Following(Read read);
    int Took(int byte);
    void PutBack(int byte);
    int Pop();

    // Bytes read but not yet handed out: the second byte of an arrow key and
    // the bytes after an Escape that turned out not to be an arrow.
    std::deque<int> pending_;
    // Once input has ended it stays ended, so callers get kEndOfInput at
    // once instead of blocking on a closed input again.
    bool ended_ = false;
};

}  // namespace platform
