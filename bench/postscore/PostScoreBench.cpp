// Times PostScore calls, which store each score durably (two fsyncs) before
// returning. The outbox goes where BARNBLAST_OUTBOX says, else into a fresh
// folder under the working directory, on the disk scores really land on
// rather than a RAM-backed /tmp. No sender runs, so only the call is timed.
#include "Corvane.h"
#include "ScoreProtocol.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    namespace fs = std::filesystem;
    const char* given = std::getenv("BARNBLAST_OUTBOX");
    const fs::path dir =
        given && *given ? fs::path(given) : fs::current_path() / ("postscore-bench-" + std::to_string(::getpid()));
    ::setenv("BARNBLAST_OUTBOX", dir.c_str(), 1);
    ::unsetenv("BARNBLAST_SCORE_SITE");

    std::string game = "Barnblast V2", name = "Bench \"Player\" Zoë";
    std::string site = "localhost:" + std::to_string(score_protocol::kDefaultPort);
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        const auto start = std::chrono::steady_clock::now();
        Corvane::PostScore(game, i, name, site);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * us.size()))]; };
    std::printf("PostScore x%d into %s\n", calls, dir.c_str());
    std::printf("  median %.1f us   p99 %.1f us   max %.1f us\n", at(0.5), at(0.99), us.back());
    if (!given || !*given) fs::remove_all(dir);
    return 0;
}
