// Score posting: PostScore stores each score in the outbox and returns; one
// sender thread delivers the outbox to the score table over HTTP(S).
#pragma once

#include "delivery/RetryPolicy.h"
#include "delivery/ScoreAddress.h"
#include "delivery/ScoreTransfer.h"
#include "delivery/Uuid.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace Corvane::detail {

class Outbox;

class ScorePoster {
public:
    static ScorePoster& Get();

    // Starts the sender thread on the outbox of the moment; it sends what is
    // already there. Does nothing when already running.
    void Start();
    // Lets the sender go on for at most `grace` with what it can send now
    // (no waiting for a retry), then aborts the transfer in flight and joins.
    // What is unsent stays in the outbox.
    void Stop(std::chrono::milliseconds grace);

    // Stores one score, with its round's record when `round` is not empty, in
    // the outbox, flushed to disk, and wakes the sender. Works whether or not
    // the sender runs. False, with one line on stderr, when it could not be
    // stored.
    bool Post(std::string_view game, std::int32_t score, std::string_view name, std::string_view site,
              std::string_view round);

private:
    using Clock = std::chrono::steady_clock;
    struct Backoff {
        int failures = 0;
        Clock::time_point until{};
    };

    void Run(Outbox& box);
    // Sends every entry that is due; returns when the earliest backed-off entry
    // is due again, if any is left.
    std::optional<Clock::time_point> Pass(Outbox& box);

    std::mutex lifecycle_;  // serialises Start and Stop
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    bool running_ = false;                    // guarded by mutex_
    bool draining_ = false;                   // guarded by mutex_: Stop was called
    unsigned posts_ = 0;                      // guarded by mutex_: bumped by Post to wake the sender
    StopDeadline stop_;                       // when transfers are aborted; set by Stop
    std::map<std::string, Backoff> backoff_;  // by URL; sender thread only
};

}  // namespace Corvane::detail
