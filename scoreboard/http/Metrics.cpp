#include "http/Metrics.h"

#include "ScoreProtocol.h"
#include "http/Routes.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace scoreboard {
namespace prom = prometheus;
namespace wire = score_protocol::status;

namespace {

// Routes as labels: a fixed few, whatever the paths asked for, so that a
// client cannot grow the series without end.
constexpr std::array<std::string_view, 12> kRoutes{
    "/api/scores", "/api/games",    "/api/players/{name}", "/api/openapi.json", "/",
    "/style.css",  "/games/{game}", "/players/{name}",     "/healthz",          "/readyz",
    "/metrics",    "other"};

std::size_t RouteIndex(std::string_view path) {
    const auto exact = std::find(kRoutes.begin(), kRoutes.end(), path);
    if (exact != kRoutes.end() && path.find('{') == std::string_view::npos) return exact - kRoutes.begin();
    if (path.starts_with(routes::kPlayersApiPrefix)) return 2;
    if (path.starts_with(routes::kGamePagePrefix)) return 6;
    if (path.starts_with(routes::kPlayerPagePrefix)) return 7;
    return kRoutes.size() - 1;
}

constexpr std::array<std::string_view, 4> kMethods{"GET", "HEAD", "POST", "other"};

std::size_t MethodIndex(std::string_view method) {
    const auto known = std::find(kMethods.begin(), kMethods.end() - 1, method);
    return static_cast<std::size_t>(known - kMethods.begin());
}

// What a refused post's status stands for, by the wire contract.
std::string_view RefusalReason(unsigned status) {
    switch (static_cast<int>(status)) {
        case wire::kBadBody: return "bad_body";
        case wire::kLengthRequired: return "length_required";
        case wire::kTooLarge: return "too_large";
        case wire::kNotJson: return "not_json";
        case wire::kIdTaken: return "id_taken";
        case wire::kTooManyPosts: return "rate_limited";
        case wire::kInternalError: return "internal_error";
        case wire::kStoreBusy: return "unavailable";
        default: return "other";
    }
}

// Games in the rows-per-game gauge at most: the largest, should a table
// hold more.
constexpr std::size_t kMaxGameSeries = 100;

prom::Histogram::BucketBoundaries LatencyBuckets() {
    return {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
}

prom::Histogram::BucketBoundaries BatchBuckets() {
    prom::Histogram::BucketBoundaries buckets;
    for (double size = 1; size <= 1024; size *= 2) buckets.push_back(size);
    return buckets;
}

}  // namespace

struct Metrics::Impl {
    prom::Registry registry;
    prom::Family<prom::Counter>& requests = prom::BuildCounter()
                                                .Name("scoreboard_requests_total")
                                                .Help("Requests answered, by route, method and status.")
                                                .Register(registry);
    prom::Family<prom::Histogram>& latency = prom::BuildHistogram()
                                                 .Name("scoreboard_request_duration_seconds")
                                                 .Help("Time from a request's header to its answer, by route.")
                                                 .Register(registry);
    prom::Counter& stored = prom::BuildCounter()
                                .Name("scoreboard_posts_stored_total")
                                .Help("Score posts stored as new rows.")
                                .Register(registry)
                                .Add({});
    prom::Counter& repeated = prom::BuildCounter()
                                  .Name("scoreboard_posts_repeated_total")
                                  .Help("Score posts of a score already stored (a client's retry).")
                                  .Register(registry)
                                  .Add({});
    prom::Family<prom::Counter>& refused = prom::BuildCounter()
                                               .Name("scoreboard_posts_refused_total")
                                               .Help("Score posts refused, by reason.")
                                               .Register(registry);
    prom::Gauge& queueDepth = prom::BuildGauge()
                                  .Name("scoreboard_write_queue_depth")
                                  .Help("Score posts waiting for the database's writer.")
                                  .Register(registry)
                                  .Add({});
    prom::Histogram& batchSize = prom::BuildHistogram()
                                     .Name("scoreboard_commit_batch_size")
                                     .Help("Score posts stored by each commit.")
                                     .Register(registry)
                                     .Add({}, BatchBuckets());
    prom::Counter& databaseErrors = prom::BuildCounter()
                                        .Name("scoreboard_database_errors_total")
                                        .Help("Commits and reads that failed in the database.")
                                        .Register(registry)
                                        .Add({});
    prom::Counter& reconnects = prom::BuildCounter()
                                    .Name("scoreboard_database_reconnects_total")
                                    .Help("Database connections opened again after the database lost them.")
                                    .Register(registry)
                                    .Add({});
    prom::Gauge& connections = prom::BuildGauge()
                                   .Name("scoreboard_open_connections")
                                   .Help("HTTP connections open now.")
                                   .Register(registry)
                                   .Add({});
    std::array<prom::Histogram*, kRoutes.size()> latencyByRoute{};

    // The counter of each route, method and status seen, found without
    // building its labels again.
    std::mutex mutex;
    std::unordered_map<std::size_t, prom::Counter*> requestCounters;

    Impl() {
        for (std::size_t i = 0; i < kRoutes.size(); ++i)
            latencyByRoute[i] = &latency.Add({{"route", std::string(kRoutes[i])}}, LatencyBuckets());
    }

    prom::Counter& RequestCounter(std::size_t route, std::size_t method, unsigned status) {
        const std::size_t key = (route * kMethods.size() + method) * 1000 + std::min(status, 999U);
        std::lock_guard lock(mutex);
        auto& counter = requestCounters[key];
        if (!counter)
            counter = &requests.Add({{"route", std::string(kRoutes[route])},
                                     {"method", std::string(kMethods[method])},
                                     {"status", std::to_string(status)}});
        return *counter;
    }
};

Metrics::Metrics() : impl_(std::make_unique<Impl>()) {}

Metrics::~Metrics() = default;

void Metrics::Request(std::string_view method, std::string_view target, unsigned status, double seconds) {
    const std::string_view path = routes::PathOf(target);
    const std::size_t route = RouteIndex(path);
    const std::size_t verb = MethodIndex(method);
    impl_->RequestCounter(route, verb, status).Increment();
    impl_->latencyByRoute[route]->Observe(seconds);
    if (kMethods[verb] != "POST" || path != score_protocol::kScoresPath) return;
    if (status == wire::kStored)
        impl_->stored.Increment();
    else if (status == wire::kAlreadyStored)
        impl_->repeated.Increment();
    else
        impl_->refused.Add({{"reason", std::string(RefusalReason(status))}}).Increment();
}

void Metrics::ConnectionOpened() { impl_->connections.Increment(); }

void Metrics::ConnectionClosed() { impl_->connections.Decrement(); }

void Metrics::QueueDepth(std::size_t puts) { impl_->queueDepth.Set(static_cast<double>(puts)); }

void Metrics::Committed(std::size_t puts) { impl_->batchSize.Observe(static_cast<double>(puts)); }

void Metrics::DatabaseFailed() { impl_->databaseErrors.Increment(); }

void Metrics::Reconnected() { impl_->reconnects.Increment(); }

std::string Metrics::Text(ScoreStore& store) {
    auto families = impl_->registry.Collect();
    prom::MetricFamily rows{.name = "scoreboard_game_rows",
                            .help = "Scores stored, by game (the largest games only, should there be many).",
                            .type = prom::MetricType::Gauge,
                            .metric = {}};
    try {
        auto games = store.Games();
        std::sort(games.begin(), games.end(), [](const GameSummary& a, const GameSummary& b) {
            return a.scores != b.scores ? a.scores > b.scores : a.game < b.game;
        });
        games.resize(std::min(games.size(), kMaxGameSeries));
        for (const auto& game : games) {
            prom::ClientMetric metric;
            metric.label = {{"game", game.game}};
            metric.gauge.value = static_cast<double>(game.scores);
            rows.metric.push_back(std::move(metric));
        }
        families.push_back(std::move(rows));
    } catch (const std::exception&) {
        // A database away: the rest still tells the operator so.
        DatabaseFailed();
    }
    return prom::TextSerializer().Serialize(families);
}

}  // namespace scoreboard
