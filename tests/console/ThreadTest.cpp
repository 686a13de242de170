#include "Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// The routine's one store is its last touch of the record, so the test may
// drop the record as soon as it sees the store.
struct Record {
    std::atomic<void*> seen{nullptr};
};

void Report(void* arg) { static_cast<Record*>(arg)->seen.store(arg); }

void* AwaitReport(const Record& record) {
    // A bound for liveness only.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (record.seen.load() == nullptr && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return record.seen.load();
}

TEST(BeginThread, RunsTheRoutineWithItsArgumentForAnyStackSize) {
    // 0 is the default size; 1 is below any system minimum.
    for (unsigned stackSize : {0u, 1u, 256u * 1024u}) {
        Record record;
        ASSERT_NE(platform::_beginthread(Report, stackSize, &record), -1) << "stack " << stackSize;
        EXPECT_EQ(AwaitReport(record), &record) << "stack " << stackSize;
    }
}

TEST(BeginThread, RefusesAMissingRoutine) { EXPECT_EQ(platform::_beginthread(nullptr, 0, nullptr), -1); }

}  // namespace
