// Whether the database answers, asked on threads of its own so that a
// database that hangs never holds an I/O thread: the answer to /readyz.
#pragma once

#include "store/Store.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace scoreboard {

class ReadyCheck {
public:
    explicit ReadyCheck(ScoreStore& store, std::chrono::milliseconds patience = std::chrono::seconds(1));
    // Waits for a query still under way: the store must outlive this.
    ~ReadyCheck();
    ReadyCheck(const ReadyCheck&) = delete;
    ReadyCheck& operator=(const ReadyCheck&) = delete;

    // `done(true)` once a query begun after this call has succeeded within
    // the patience, `done(false)` otherwise; on another thread. Calls that
    // come together share one query.
    void Check(std::function<void(bool ready)> done);

private:
    void Ping();
    void Answer();

    ScoreStore& store_;
    std::chrono::milliseconds patience_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::function<void(bool)>> waiting_;
    bool pingWanted_ = false;
    std::uint64_t pingsStarted_ = 0;
    std::uint64_t pingsDone_ = 0;
    bool lastOk_ = false;
    bool stopping_ = false;
    std::thread pinger_;
    std::thread answerer_;
};

}  // namespace scoreboard
