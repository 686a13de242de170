#include "http/Health.h"

#include <exception>

namespace scoreboard {

ReadyCheck::ReadyCheck(ScoreStore& store, std::chrono::milliseconds patience)
    : store_(store), patience_(patience), pinger_([this] { Ping(); }), answerer_([this] { Answer(); }) {}

ReadyCheck::~ReadyCheck() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    answerer_.join();
    pinger_.join();
}

void ReadyCheck::Check(std::function<void(bool)> done) {
    {
        std::lock_guard lock(mutex_);
        waiting_.push_back(std::move(done));
    }
    changed_.notify_all();
}

// One query at a time, whenever one is wanted.
void ReadyCheck::Ping() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || pingWanted_; });
        if (stopping_) return;
        pingWanted_ = false;
        ++pingsStarted_;
        lock.unlock();
        bool ok = true;
        try {
            store_.Ping();
        } catch (const std::exception&) {
            ok = false;
        }
        lock.lock();
        lastOk_ = ok;
        ++pingsDone_;
        changed_.notify_all();
    }
}

// Takes the callers waiting, wants a query begun after they asked, and
// answers them all when it ends or the patience runs out.
void ReadyCheck::Answer() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
        auto batch = std::move(waiting_);
        waiting_.clear();
        bool ready = false;
        if (!stopping_) {
            // A query under way may have begun before they asked: the next one counts.
            const std::uint64_t needed = pingsStarted_ + 1;
            pingWanted_ = true;
            changed_.notify_all();
            const auto deadline = std::chrono::steady_clock::now() + patience_;
            if (changed_.wait_until(lock, deadline, [&] { return stopping_ || pingsDone_ >= needed; }))
                ready = !stopping_ && lastOk_;
        }
        const bool stop = stopping_;
        lock.unlock();
        for (auto& done : batch) done(ready);
        lock.lock();
        if (stop && waiting_.empty()) return;
    }
}

}  // namespace scoreboard
