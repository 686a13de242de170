#include "SoundSystem.h"

#include <dlfcn.h>

namespace platform {
namespace {

// ALSA's library prints its own diagnostics to standard error while SDL
// probes for a device (a dozen lines when there is no sound card). The game
// says what matters in one line of its own, so those are silenced. SDL loads
// the same libasound, so the handler set here is the one it uses.
void SilentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void QuietSoundSystem() {
    void* alsa = ::dlopen("libasound.so.2", RTLD_NOW | RTLD_GLOBAL);
    if (!alsa) return;
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(Handler);
    if (auto set = reinterpret_cast<SetHandler>(::dlsym(alsa, "snd_lib_error_set_handler"))) set(&SilentAlsaHandler);
}

}  // namespace platform
