// The terminal on standard input, from the program's first read to its end:
// key-at-a-time mode throughout, so that keys typed between two reads are
// neither echoed nor edited away, except while one line is read. The
// settings found at the first read are put back on every way out of the
// process and while it is stopped (Ctrl+Z); key mode comes back as soon as
// it continues in the foreground.
#pragma once

namespace platform::posix {

// Puts the terminal in key mode (no echo, no line editing, signal keys
// kept) unless it is already. Does nothing when standard input is not a
// terminal.
void UseKeyMode();

// Line mode (LineMode.h) is the terminal's own echo and line editing,
// UTF-8 aware; key mode after it.

}  // namespace platform::posix
