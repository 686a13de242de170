// The terminal's or the console's own echo and line editing, for reading
// one typed line; the key reader's mode again after it. Made by each
// system's Console.cpp (posix/, windows/).
#pragma once

namespace platform {

// In line mode for as long as the object lives. One at a time: lines are
// read under the key reader's lock.
class LineMode {
public:
    LineMode();
    ~LineMode();
    LineMode(const LineMode&) = delete;
    LineMode& operator=(const LineMode&) = delete;
};

}  // namespace platform
