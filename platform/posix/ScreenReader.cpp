// Speech through speech-dispatcher, which every Linux screen reader speaks
// through too. Its library is opened only when a player asks for it, so the
// game neither needs it installed nor pays for loading it otherwise.
#include "ScreenReader.h"

#include <dlfcn.h>
#include <speech-dispatcher/libspeechd.h>

#include <cstdlib>

namespace platform {
namespace {

struct SpeechDispatcher final : ScreenReader {
    void* library = nullptr;
    SPDConnection* connection = nullptr;
    decltype(&spd_say) say = nullptr;
    decltype(&spd_cancel) cancel = nullptr;
    decltype(&spd_close) close = nullptr;

    ~SpeechDispatcher() override {
        if (connection) close(connection);
        // The library stays loaded: its own threads may still be winding down.
    }

    bool Speak(const std::string& text) override {
        // Only our own messages are cancelled: the player's screen reader
        // speaks on through its own connection.
        cancel(connection);
        return say(connection, SPD_TEXT, text.c_str()) >= 0;
    }
    const char* Name() const override { return "speech-dispatcher"; }
};

template <typename Function>
Function Find(void* library, const char* name) {
    return reinterpret_cast<Function>(::dlsym(library, name));
}

}  // namespace

std::unique_ptr<ScreenReader> ScreenReader::Connect(std::string& why) {
    void* library = ::dlopen("libspeechd.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        why = "speech-dispatcher's library (libspeechd.so.2) is not installed";
        return nullptr;
    }
    auto reader = std::make_unique<SpeechDispatcher>();
    reader->library = library;
    reader->say = Find<decltype(&spd_say)>(library, "spd_say");
    reader->cancel = Find<decltype(&spd_cancel)>(library, "spd_cancel");
    reader->close = Find<decltype(&spd_close)>(library, "spd_close");
    const auto open = Find<decltype(&spd_open2)>(library, "spd_open2");
    if (!open || !reader->say || !reader->cancel || !reader->close) {
        why = "speech-dispatcher's library lacks the functions the game needs";
        return nullptr;
    }
    // The address from SPEECHD_ADDRESS or the user's runtime folder, the
    // server started there if it is not running yet.
    char* error = nullptr;
    reader->connection = open("barnblast", "main", nullptr, SPD_MODE_THREADED, nullptr, 1, &error);
    if (!reader->connection) {
        // Its first sentence says what went wrong; the rest is advice for
        // speech-dispatcher's own developers.
        std::string said = error ? error : "";
        said = said.substr(0, said.find_first_of(".\n"));
        if (said.starts_with("Error: ")) said.erase(0, 7);
        why = "speech-dispatcher did not answer" + (said.empty() ? "" : ": " + said);
        std::free(error);
        return nullptr;
    }
    std::free(error);
    return reader;
}

}  // namespace platform
