// What the metrics cost the score table's own threads: the count of one
// answered request, alone and on four threads at once, and one scrape's
// text, beside the handler's cheapest answer from the same table (a game's
// top 10 from memory) measured in the same run. Medians of several rounds.
// Usage: scoreboard-metrics-cost [games] [rounds]
#include "StoreFactory.h"
#include "http/Handler.h"
#include "http/Metrics.h"

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace scoreboard;
using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Nanoseconds per call of `work`, over `calls` calls on each of `threads`.
template <typename Work>
double NanosPerCall(int threads, int calls, const Work& work) {
    const auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (int i = 0; i < calls; ++i) work(i);
        });
    for (auto& t : pool) t.join();
    const std::chrono::duration<double, std::nano> took = Clock::now() - start;
    return took.count() / calls / threads;
}

}  // namespace

int main(int argc, char** argv) {
    const int games = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    const auto folder = std::filesystem::temp_directory_path() / ("metrics-cost-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    {
        auto store = OpenStore((folder / "scores.db").string(), 4);
        for (int g = 0; g < games; ++g) {
            for (int i = 0; i < 50; ++i) {
                char id[40];
                std::snprintf(id, sizeof id, "%08x-0000-4000-8000-%012x", g, i);
                store->PutAsync({id, "Game " + std::to_string(g), "p", i, 1700000000000 + i},
                                [](PutResult, std::exception_ptr) {});
            }
        }
        // The last game's rows are read, so the writer has committed them all.
        while (store->Count("Game " + std::to_string(games - 1)) < 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

        Metrics metrics;
        RateLimiter limiter(0);
        HandlerDeps deps{.store = *store,
                         .limiter = limiter,
                         .nowMs = [] { return std::int64_t{1700000000000}; },
                         .memos = store.get()};
        Request get{http::verb::get, "/api/scores?game=Game%200&limit=10", 11};
        std::vector<double> answer, count, counted4, scrape;
        for (int r = 0; r < rounds; ++r) {
            answer.push_back(NanosPerCall(1, 20000, [&](int) { (void)HandleRequest(get, deps); }));
            count.push_back(NanosPerCall(
                1, 200000, [&](int i) { metrics.Request("POST", "/api/scores", i % 8 ? 201 : 400, 0.002); }));
            counted4.push_back(
                NanosPerCall(4, 100000, [&](int i) { metrics.Request("GET", "/games/x", i % 8 ? 200 : 404, 0.001); }));
            scrape.push_back(NanosPerCall(1, 200, [&](int) { (void)metrics.Text(*store); }));
        }
        const double a = Median(answer), c = Median(count), c4 = Median(counted4), s = Median(scrape);
        std::printf("metrics cost, median of %d rounds, %d games (%u CPUs)\n", rounds, games,
                    std::thread::hardware_concurrency());
        std::printf("  handler's GET top 10 from memory: %9.0f ns   (the peer)\n", a);
        std::printf("  count of one request, one thread: %9.0f ns   %.3f of the peer\n", c, c / a);
        std::printf("  count, four threads at once:      %9.0f ns   %.3f of the peer\n", c4, c4 / a);
        std::printf("  one scrape's text:                %9.0f ns   %.1f peers\n", s, s / a);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
