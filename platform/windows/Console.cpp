#include "Console.h"
#include "LineMode.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace platform::windows {
namespace {

// How the console's input was set when the program first read from it.
// Written once, before the handler is installed; only read after that.
DWORD originalMode = 0;
std::atomic<bool> restored{false};
// Set once a console event is ending the program.
std::atomic<bool> ending{false};

// The exit status a console program ends with when Ctrl+C ends it.
constexpr UINT kInterruptedStatus = 0xC000013AU;

void RestoreMode() noexcept {
    if (!restored.exchange(true)) {
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), originalMode);
    }
}

// Runs on a thread of its own that the system starts for the event.
// Ctrl+C and Ctrl+Break end the process as the system's own handler does,
// with STATUS_CONTROL_C_EXIT (Wine's own handler would exit with 0); for
// the rest, returning FALSE hands the event on to the system, which ends
// the process. The outbox's entries are whole files at every moment, so
// nothing is left half-done.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: EndAsInterrupted();
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            ending = true;
            RestoreMode();
            return FALSE;
        default: return FALSE;
    }
}

void RestoreAtExit() { RestoreMode(); }

}  // namespace

bool InputIsConsole() {
    static std::once_flag once;
    static bool isConsole = false;
    std::call_once(once, [] {
        DWORD mode = 0;
        if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
            return;  // a pipe or a file: bytes are read as they come
        }
        originalMode = mode;
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
        std::atexit(RestoreAtExit);
        isConsole = true;
    });
    return isConsole;
}

void WaitIfEnding() {
    // The console hands a read the interruption before it runs the
    // handlers, so give them a moment to say so.
    for (int i = 0; i < 20 && !ending; ++i) ::Sleep(10);
    if (ending) ::Sleep(INFINITE);
}

void EndAsInterrupted() {
    ending = true;
    RestoreMode();
    ExitProcess(kInterruptedStatus);
}

}  // namespace platform::windows

namespace platform {
namespace {

// The console's input mode before the line being read, and whether line
// mode changed it.
DWORD modeBeforeLine = 0;
bool lineModeSwitched = false;

}  // namespace

LineMode::LineMode() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    modeBeforeLine = 0;
    GetConsoleMode(input, &modeBeforeLine);
    const DWORD lineMode = modeBeforeLine | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;
    lineModeSwitched = lineMode != modeBeforeLine;
    if (lineModeSwitched) SetConsoleMode(input, lineMode);
}

LineMode::~LineMode() {
    if (lineModeSwitched) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), modeBeforeLine);
}

}  // namespace platform
