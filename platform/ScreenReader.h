// The player's own screen reader, for a player who would rather hear the
// game's words in the voice, rate and language they use everywhere else.
#pragma once

#include <memory>
#include <string>

namespace platform {

class ScreenReader {
public:
    // Reaches the player's screen reader: speech-dispatcher on Linux (its
    // library loaded only now); on Windows NVDA (its controller client
    // library, from beside the game or the library path) while NVDA runs,
    // else SAPI. nullptr, with `why` saying so in a few words, when there is
    // none. Speak on the thread that connected.
    static std::unique_ptr<ScreenReader> Connect(std::string& why);
    virtual ~ScreenReader() = default;

    // Says `text` (UTF-8), cutting off whatever it was still saying for us.
    // False when the screen reader did not take it.
    virtual bool Speak(const std::string& text) = 0;
    // Which screen reader this is, for messages ("speech-dispatcher").
    virtual const char* Name() const = 0;
};

}  // namespace platform
