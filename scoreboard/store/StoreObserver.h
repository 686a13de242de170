// What the stores tell the operator's metrics: the write queue, each group
// commit, the database's failures and returns. The store room knows nothing
// of how they are counted; the server sets one observer at start.
#pragma once

#include <atomic>
#include <cstddef>

namespace scoreboard {

class StoreObserver {
public:
    virtual ~StoreObserver() = default;
    // Puts waiting for the writer, after each change.
    virtual void QueueDepth(std::size_t puts) = 0;
    // A commit of `puts` became durable.
    virtual void Committed(std::size_t puts) = 0;
    // A commit, or a read that the caller could not answer, failed in the
    // database.
    virtual void DatabaseFailed() = 0;
    // A connection that the database had lost is open again.
    virtual void Reconnected() = 0;
};

namespace detail {
inline std::atomic<StoreObserver*> storeObserver{nullptr};
}

// Set before the store opens, cleared (nullptr) only after it has closed.
inline void ObserveStores(StoreObserver* observer) { detail::storeObserver.store(observer); }
// The observer, or nullptr: nothing is counted.
inline StoreObserver* StoreObserverOf() { return detail::storeObserver.load(std::memory_order_relaxed); }

}  // namespace scoreboard
