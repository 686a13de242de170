// The table's metrics for an operator's Prometheus: requests by route and
// status and their latency, posts stored and refused, the write queue and
// its commits, the database's failures and returns, open connections and the
// rows of each game, in the Prometheus text format.
#pragma once

#include "store/Store.h"
#include "store/StoreObserver.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace scoreboard {

inline constexpr std::string_view kMetricsPath = "/metrics";
inline constexpr std::string_view kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

// Safe to call from any thread.
class Metrics final : public StoreObserver {
public:
    Metrics();
    ~Metrics() override;
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    // One answered request; a score post is also counted as stored, a
    // repeat, or refused for the reason its status stands for.
    void Request(std::string_view method, std::string_view target, unsigned status, double seconds);
    void ConnectionOpened();
    void ConnectionClosed();

    void QueueDepth(std::size_t puts) override;
    void Committed(std::size_t puts) override;
    void DatabaseFailed() override;
    void Reconnected() override;

    // Everything counted, and the rows of each game as `store` has them now.
    std::string Text(ScoreStore& store);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace scoreboard
