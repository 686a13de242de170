#include "Platform.h"

#include <limits.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace platform {
namespace {

struct ThreadStart {
    void (*routine)(void*);
    void* arg;
};

void* RunThread(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.routine(start.arg);
    return nullptr;
}

}  // namespace

std::intptr_t _beginthread(void (*routine)(void*), unsigned stackSize, void* arg) {
    if (routine == nullptr) {
        return -1;
    }
    auto* start = new (std::nothrow) ThreadStart{routine, arg};
    if (start == nullptr) {
        return -1;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete start;
        return -1;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        // 0 means the default, as on the console runtime; a size below the
        // system's minimum is raised to it rather than refused.
        const auto size = std::max<std::size_t>(stackSize, static_cast<std::size_t>(PTHREAD_STACK_MIN));
        pthread_attr_setstacksize(&attr, size);
    }
    pthread_t thread;
    const int error = pthread_create(&thread, &attr, RunThread, start);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        delete start;
        return -1;
    }
    // Callers only compare with -1; anything else is success.
    const auto handle = static_cast<std::intptr_t>(thread);
    return handle == -1 ? 0 : handle;
}

void Sleep(std::uint32_t ms) {
    // An absolute deadline, so that signals cutting the sleep short do not
    // shorten it in total.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {}
}

std::uint32_t Milliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000U);
}

}  // namespace platform
