// Keys and lines from standard input: from the console through the C
// runtime when there is one, otherwise straight from the pipe or file one
// byte at a time, so that key reads and line reads never steal bytes from
// each other.

#include "Console.h"
#include "Platform.h"
#include "Utf16.h"

#include <conio.h>
#include <windows.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <string>

namespace platform {
namespace {

constexpr int kCtrlC = 0x03;
constexpr int kEscape = 0x1B;
constexpr int kCtrlZ = 0x1A;
// How long the rest of an escape sequence may take to arrive through a pipe.
constexpr int kEscapeWaitMs = 50;

std::mutex inputMutex;
// Bytes read but not yet handed out (see the POSIX reader).
std::deque<int> pendingBytes;
bool inputEnded = false;

HANDLE Input() { return GetStdHandle(STD_INPUT_HANDLE); }

// Whether a byte (or the end) can be read from a pipe or file within
// timeoutMs. A file always has one; a pipe is looked into until the time
// runs out.
bool Readable(int timeoutMs) {
    if (GetFileType(Input()) != FILE_TYPE_PIPE) return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(Input(), nullptr, 0, nullptr, &available, nullptr) || available > 0) {
            return true;  // a fault or the writer's end: ReadFile reports it
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        ::Sleep(5);
    }
}

// One byte of a pipe or file. Its end, or a fault reading it, ends input.
int ReadFromInput() {
    unsigned char byte = 0;
    DWORD got = 0;
    if (ReadFile(Input(), &byte, 1, &got, nullptr) && got == 1) return byte;
    inputEnded = true;
    return kEndOfInput;
}

int Pop() {
    const int byte = pendingBytes.front();
    pendingBytes.pop_front();
    return byte;
}

int Next() {
    if (!pendingBytes.empty()) return Pop();
    if (inputEnded) return kEndOfInput;
    return ReadFromInput();
}

int Following() {
    if (!pendingBytes.empty()) return Pop();
    if (inputEnded) return kEndOfInput;
    return Readable(kEscapeWaitMs) ? ReadFromInput() : kEndOfInput;
}

void PutBack(int byte) {
    if (byte != kEndOfInput) pendingBytes.push_front(byte);
}

// The second byte of the console's arrow keys for the last byte of a
// terminal's arrow sequence, or -1.
int ArrowCode(int final) {
    switch (final) {
        case 'A': return kArrowUp;
        case 'B': return kArrowDown;
        case 'C': return kArrowRight;
        case 'D': return kArrowLeft;
        default: return -1;
    }
}

// A key from a pipe or file: the bytes a terminal program would send, with
// its arrow sequences turned into the console's two bytes, as on Linux.
int ReadPipedKey() {
    const int first = Next();
    if (first != kEscape) return first;
    const int intro = Following();
    if (intro != '[' && intro != 'O') {
        PutBack(intro);
        return kEscape;
    }
    const int final = Following();
    const int arrow = ArrowCode(final);
    if (arrow >= 0) {
        PutBack(arrow);
        return kArrowPrefix;
    }
    PutBack(final);
    PutBack(intro);
    return kEscape;
}

// One line typed at the console with its own echo and editing, as UTF-8.
bool ReadConsoleLine(std::string& line) {
    const HANDLE input = Input();
    DWORD mode = 0;
    GetConsoleMode(input, &mode);
    const DWORD lineMode = mode | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;
    if (lineMode != mode) SetConsoleMode(input, lineMode);
    std::wstring text;
    bool readAny = false;
    for (;;) {
        wchar_t buffer[256];
        DWORD got = 0;
        if (!ReadConsoleW(input, buffer, 256, &got, nullptr) || got == 0) {
            windows::WaitIfEnding();
            break;
        }
        readAny = true;
        text.append(buffer, got);
        if (text.back() == L'\n') break;
    }
    if (lineMode != mode) SetConsoleMode(input, mode);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    // Ctrl+Z at the start of a line is the console's end of input.
    if (!text.empty() && text.front() == kCtrlZ) {
        inputEnded = true;
        return false;
    }
    line = Utf8Of(text);
    return readAny;
}

}  // namespace

int _getch() {
    std::lock_guard lock(inputMutex);
    if (!windows::InputIsConsole()) return ReadPipedKey();
    const int key = ::_getch();
    // The runtime reads keys raw, so Ctrl+C arrives as a key rather than as
    // the console's event; it ends the game all the same.
    if (key == kCtrlC) windows::EndAsInterrupted();
    return key;
}

bool ReadLine(std::string& line) {
    std::lock_guard lock(inputMutex);
    line.clear();
    if (windows::InputIsConsole()) return ReadConsoleLine(line);
    bool readAny = false;
    for (;;) {
        const int byte = Next();
        if (byte == kEndOfInput) break;
        readAny = true;
        if (byte == '\n') break;
        line.push_back(static_cast<char>(byte));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return readAny;
}

}  // namespace platform
