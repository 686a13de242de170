#include "posix/RealtimeKit.h"

#include <dlfcn.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>

namespace platform::posix {
namespace {

// systemd's bus library, opened only when a thread asks: nearly every Linux
// system has it, and a game without it plays on at its usual priority.
// Declared here, by its stable interface, so building needs no headers.
struct Bus;
struct BusMessage;
struct BusError {
    const char* name = nullptr;
    const char* message = nullptr;
    int needsFree = 0;
};
using OpenSystemBus = int (*)(Bus**);
using CallMethod = int (*)(Bus*, const char*, const char*, const char*, const char*, BusError*, BusMessage**,
                           const char*, ...);
using GetProperty = int (*)(Bus*, const char*, const char*, const char*, const char*, BusError*, char, void*);
using FreeError = void (*)(BusError*);
using UnrefMessage = BusMessage* (*)(BusMessage*);
using CloseBus = Bus* (*)(Bus*);
using SetCallTimeout = int (*)(Bus*, std::uint64_t);

// The service answers within milliseconds; a bus that does not answer at
// all must not hold up the caller (and so the game's closing) for long.
constexpr std::uint64_t kAnswerWithinMicroseconds = 500'000;

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kObject = "/org/freedesktop/RealtimeKit1";

struct BusLibrary {
    OpenSystemBus open = nullptr;
    CallMethod call = nullptr;
    GetProperty get = nullptr;
    FreeError freeError = nullptr;
    UnrefMessage unrefMessage = nullptr;
    CloseBus close = nullptr;
    SetCallTimeout setTimeout = nullptr;  // newer libraries only

    bool Load() {
        void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library) return false;
        // Kept loaded: it is small, and another audio thread may ask again.
        open = Find<OpenSystemBus>(library, "sd_bus_open_system");
        call = Find<CallMethod>(library, "sd_bus_call_method");
        get = Find<GetProperty>(library, "sd_bus_get_property_trivial");
        freeError = Find<FreeError>(library, "sd_bus_error_free");
        unrefMessage = Find<UnrefMessage>(library, "sd_bus_message_unref");
        close = Find<CloseBus>(library, "sd_bus_flush_close_unref");
        setTimeout = Find<SetCallTimeout>(library, "sd_bus_set_method_call_timeout");
        return open && call && get && freeError && unrefMessage && close;
    }

    template <typename Function>
    static Function Find(void* library, const char* name) {
        return reinterpret_cast<Function>(::dlsym(library, name));
    }
};

}  // namespace

bool RaiseThroughRealtimeKit(pid_t thread, int priority) {
#if !defined(__linux__)
    // The service and its time limit are Linux's.
    (void)thread, (void)priority;
    return false;
#else
    BusLibrary bus;
    if (!bus.Load()) return false;
    Bus* connection = nullptr;
    if (bus.open(&connection) < 0 || !connection) return false;
    if (bus.setTimeout) bus.setTimeout(connection, kAnswerWithinMicroseconds);

    BusError error;
    std::int64_t mostCpuMicroseconds = 0;
    std::int32_t highestPriority = 0;
    bool granted =
        bus.get(connection, kService, kObject, kService, "RTTimeUSecMax", &error, 'x', &mostCpuMicroseconds) >= 0 &&
        bus.get(connection, kService, kObject, kService, "MaxRealtimePriority", &error, 'i', &highestPriority) >= 0 &&
        mostCpuMicroseconds > 0 && highestPriority > 0;
    if (granted) {
        // The service grants only to a process that bounds the time its
        // real-time threads may run without sleeping, so that one caught
        // in a loop is stopped instead of freezing the desktop. Ours sleeps
        // every block.
        rlimit limit{};
        const auto most = static_cast<rlim_t>(mostCpuMicroseconds);
        if (::getrlimit(RLIMIT_RTTIME, &limit) == 0 && (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > most)) {
            limit.rlim_cur = limit.rlim_max = most;
            granted = ::setrlimit(RLIMIT_RTTIME, &limit) == 0;
        }
    }
    if (granted) {
        BusMessage* reply = nullptr;
        granted = bus.call(connection, kService, kObject, kService, "MakeThreadRealtime", &error, &reply, "tu",
                           static_cast<std::uint64_t>(thread),
                           static_cast<std::uint32_t>(std::min(priority, static_cast<int>(highestPriority)))) >= 0;
        bus.unrefMessage(reply);
    }
    bus.freeError(&error);
    bus.close(connection);
    return granted;
#endif
}

}  // namespace platform::posix
