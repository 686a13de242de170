// The console on standard input, from the program's first read to its end.
// The C runtime's _getch switches the console to raw input for each key and
// back; a Ctrl+C, Ctrl+Break or closing of the window that arrives while it
// waits must still leave the console as the program found it.
#pragma once

namespace platform::windows {

// True when standard input is a console (not a pipe or a file). The first
// call keeps the console's input mode and installs the handler that puts it
// back when the game is ended from the console.
bool InputIsConsole();

// Ends the program as Ctrl+C would, with the console's input mode put back:
// for the Ctrl+C byte that the raw reads of _getch deliver as a key.
[[noreturn]] void EndAsInterrupted();

// Called when a console read came back empty: if Ctrl+C, Ctrl+Break or the
// closing of the window cut it short, waits for that to end the program, so
// that the game never acts on the read's empty result.
void WaitIfEnding();

// Line mode (LineMode.h) is the console's own echo and line editing; the
// input mode from before it after it.

}  // namespace platform::windows
