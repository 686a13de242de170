#include "Environment.h"

#include "posix/RealtimeKit.h"

#include <dlfcn.h>
#include <sched.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

// ALSA's library prints its own diagnostics to standard error while SDL
// probes for a device (a dozen lines when there is no sound card). The game
// says what matters in one line of its own, so those are silenced. SDL loads
// the same libasound, so the handler set here is the one it uses.
void SilentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}

// A folder named in the environment counts only when absolute, as the XDG
// base directory rules say.
std::filesystem::path AbsoluteFromEnv(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value || *value != '/') return {};
    return value;
}

// $<variable>/barnblast, else ~/<underHome>/barnblast; empty without a home.
std::filesystem::path XdgFolder(const char* variable, const char* underHome) {
    if (auto base = AbsoluteFromEnv(variable); !base.empty()) return base / "barnblast";
    const std::filesystem::path home = AbsoluteFromEnv("HOME");
    if (home.empty()) return {};
    return home / underHome / "barnblast";
}

}  // namespace

const char* const kNameFileShown = "~/.local/share/barnblast/name.dat";
const char* const kOutboxFolderShown = "~/.local/state/barnblast/outbox";
const char* const kSettingsFileShown = "~/.config/barnblast/settings";

std::string EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void SetEnvDefault(const char* name, const char* value) { ::setenv(name, value, 0); }

void FillRandom(unsigned char* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::getrandom(data + got, size - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
        // getrandom only fails on interruption or before the kernel's pool
        // is ready, which is long past once a game runs; it retries.
    }
}

void QuietSoundSystem() {
    void* alsa = ::dlopen("libasound.so.2", RTLD_NOW | RTLD_GLOBAL);
    if (!alsa) return;
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(Handler);
    if (auto set = reinterpret_cast<SetHandler>(::dlsym(alsa, "snd_lib_error_set_handler"))) set(&SilentAlsaHandler);
}

std::int64_t CurrentThreadNumber() { return static_cast<std::int64_t>(::syscall(SYS_gettid)); }

bool RaiseAudioThread(std::int64_t thread) {
#if defined(__linux__)
    // PulseAudio's own threads take priority 5 by default: just below it.
    constexpr int kPriority = 4;
    sched_param param{};
    param.sched_priority = kPriority;
    const auto id = static_cast<pid_t>(thread);
    if (::sched_setscheduler(id, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return true;
    // A user's program may not take it itself on most desktops, but may ask
    // the system's service for it.
    return posix::RaiseThroughRealtimeKit(id, kPriority);
#else
    (void)thread;
    return false;
#endif
}

std::string InstalledDataFolder(const std::string& compiledIn) { return compiledIn; }

std::string SpeechDataFolder() { return {}; }

std::filesystem::path DefaultOutboxFolder() {
    if (auto folder = XdgFolder("XDG_STATE_HOME", ".local/state"); !folder.empty()) return folder / "outbox";
    // A relative or missing home still gets an outbox, below the working folder.
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".local" / "state" / "barnblast" / "outbox";
}

std::filesystem::path PlayerFolder() { return XdgFolder("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path SettingsFile() {
    const std::filesystem::path folder = XdgFolder("XDG_CONFIG_HOME", ".config");
    return folder.empty() ? folder : folder / "settings";
}

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace platform
