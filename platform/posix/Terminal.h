// Key-at-a-time mode for the terminal on standard input, held only for the
// length of one key read, with the original settings put back on every way
// out of the process.
#pragma once

namespace platform::posix {

class RawInput {
public:
    RawInput() = default;
    ~RawInput();
    RawInput(const RawInput&) = delete;
    RawInput& operator=(const RawInput&) = delete;

    // Switches echo and line buffering off, keeping the settings in force
    // now for the restore. Does nothing when standard input is not a
    // terminal or the mode is already on.
    void Enter();

private:
    bool entered_ = false;
};

}  // namespace platform::posix
