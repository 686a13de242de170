// Keys and lines from standard input: from the console through the C
// runtime when there is one, otherwise straight from the pipe or file one
// byte at a time, so that key reads and line reads never steal bytes from
// each other.

#include "Console.h"
#include "KeyDecoder.h"
#include "LineMode.h"
#include "Platform.h"
#include "Utf16.h"

#include <conio.h>
#include <windows.h>

#include <chrono>
#include <mutex>
#include <string>

namespace platform {
namespace {

constexpr int kCtrlC = 0x03;
constexpr int kCtrlZ = 0x1A;

std::mutex inputMutex;
// For a pipe or a file: the bytes a terminal program would send, with its
// arrow sequences turned into the console's two bytes, as on Linux.
KeyDecoder decoder;

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

// One byte of a pipe or file, within timeoutMs (-1: as long as it takes).
// Its end, or a fault reading it, ends input.
int ReadPiped(int timeoutMs) {
    if (timeoutMs >= 0 && !Readable(timeoutMs)) return KeyDecoder::kNoByteYet;
    unsigned char byte = 0;
    DWORD got = 0;
    if (ReadFile(Input(), &byte, 1, &got, nullptr) && got == 1) return byte;
    return kEndOfInput;
}

// One line typed at the console with its own echo and editing, as UTF-8.
bool ReadConsoleLine(std::string& line) {
    const HANDLE input = Input();
    const LineMode lineMode;
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
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    // Ctrl+Z at the start of a line is the console's end of input.
    if (!text.empty() && text.front() == kCtrlZ) return false;
    line = Utf8Of(text);
    return readAny;
}

}  // namespace

int _getch() {
    std::lock_guard lock(inputMutex);
    if (!windows::InputIsConsole()) return decoder.Key(ReadPiped);
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
    return decoder.Line(ReadPiped, line);
}

}  // namespace platform
