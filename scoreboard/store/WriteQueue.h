// Puts waiting for a store's one writer thread (GroupCommitStore), which takes
// all that wait at the time into one transaction and one sync: the group
// commit both stores make.
#pragma once

#include "store/Store.h"
#include "store/StoreObserver.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

namespace scoreboard {

struct PendingPut {
    ScoreRecord record;
    PutCallback done;
};

class WriteQueue {
public:
    // Queues a put for the writer; once closed, answers it at once with a
    // busy StoreError, so the client retries elsewhere or later.
    void Push(const ScoreRecord& record, PutCallback done) {
        {
            std::lock_guard lock(mutex_);
            if (!closed_) {
                queue_.push_back({record, std::move(done)});
                if (auto* observer = StoreObserverOf()) observer->QueueDepth(queue_.size());
                if (queue_.size() == 1) ready_.notify_one();
                return;
            }
        }
        done({}, std::make_exception_ptr(StoreError("the store is closing", true)));
    }

    // Waits for puts (at most `wait`, then true with none) and moves the
    // oldest, at most `most`, into `batch`; false once closed with nothing left.
    bool Take(std::vector<PendingPut>& batch, std::size_t most,
              std::chrono::milliseconds wait = std::chrono::milliseconds::max()) {
        batch.clear();
        std::unique_lock lock(mutex_);
        const auto ready = [this] { return closed_ || !queue_.empty(); };
        if (wait == std::chrono::milliseconds::max())
            ready_.wait(lock, ready);
        else if (!ready_.wait_for(lock, wait, ready))
            return true;
        if (queue_.empty()) return false;
        if (queue_.size() <= most) {
            batch.swap(queue_);
        } else {
            const auto end = queue_.begin() + static_cast<std::ptrdiff_t>(most);
            batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(end));
            queue_.erase(queue_.begin(), end);
        }
        if (auto* observer = StoreObserverOf()) observer->QueueDepth(queue_.size());
        return true;
    }

    // What is queued is still taken; later pushes are refused.
    void Close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<PendingPut> queue_;
    bool closed_ = false;
};

}  // namespace scoreboard
