// Every owner of a native handle counts what it takes and gives back, so a
// test can show that a whole session of the service returns all it took.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>

namespace Corvane::detail {

enum class Native : std::size_t {
    AlcDevice,
    AlcContext,
    AlSource,
    AlBuffer,
    SdlAudio,
    SdlDevice,
    CaptureFile,
    CurlEasy,
    CurlMulti,
    CurlList,
    Count,
};

struct NativeCount {
    std::atomic<long> taken{0};
    std::atomic<long> returned{0};
};

inline NativeCount& CountOf(Native kind) {
    static std::array<NativeCount, static_cast<std::size_t>(Native::Count)> counts;
    return counts[static_cast<std::size_t>(kind)];
}

inline void CountTaken(Native kind) { CountOf(kind).taken.fetch_add(1, std::memory_order_relaxed); }
inline void CountReturned(Native kind) { CountOf(kind).returned.fetch_add(1, std::memory_order_relaxed); }

}  // namespace Corvane::detail
