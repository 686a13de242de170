// What replaying a round record costs the score table: 10,000 recorded
// rounds, half of fast play (about 12 keys a second) and half of slow play
// (about one key a second), each decoded and replayed as the table does.
// Decoding alone is the peer, measured in the same run, so the ratio says
// what the rules' replay adds to reading the record.
#include "RoundPlayer.h"
#include "RoundRecord.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double median;
    double max;
};

Figures Summary(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us.back()};
}

}  // namespace

int main(int argc, char** argv) {
    using namespace round_rules;
    const int rounds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10000;
    std::vector<std::string> texts;
    std::vector<std::int32_t> scores;
    std::vector<platform::Generator> starts;  // as the table derives them
    std::size_t keys = 0, longest = 0;
    for (int i = 0; i < rounds; ++i) {
        const bool fast = i % 2 == 0;
        const round_player::Style style{fast ? 60U : 1000U, fast ? 25U : 600U,
                                        i % 4 < 2 ? platform::GeneratorKind::Glibc : platform::GeneratorKind::Msvcrt,
                                        i % 3 == 0, static_cast<std::uint32_t>(i + 1)};
        const auto played = round_player::Play(style);
        keys += played.record.keys.size();
        texts.push_back(EncodeRecord(played.record));
        longest = std::max(longest, texts.back().size());
        scores.push_back(played.score);
        starts.push_back(played.start);
    }

    std::vector<double> decodeUs, replayUs;
    decodeUs.reserve(texts.size());
    replayUs.reserve(texts.size());
    int wrong = 0;
    // Each record's time is the least of a few tries, so that the maximum is
    // the costliest record's and not a moment the machine was busy elsewhere.
    constexpr int kTries = 3;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        double decodeBest = 1e300, replayBest = 1e300;
        for (int t = 0; t < kTries; ++t) {
            const auto t0 = Clock::now();
            const Decoded decoded = DecodeRecord(texts[i]);
            const auto t1 = Clock::now();
            const Replay replay = ReplayRecord(*decoded.record, starts[i]);
            const auto t2 = Clock::now();
            if (t == 0 && (!replay.ok || replay.score != scores[i])) ++wrong;
            decodeBest = std::min(decodeBest, std::chrono::duration<double, std::micro>(t1 - t0).count());
            replayBest = std::min(replayBest, std::chrono::duration<double, std::micro>(t2 - t0).count());
        }
        decodeUs.push_back(decodeBest);
        replayUs.push_back(replayBest);
    }
    const Figures decode = Summary(decodeUs), replay = Summary(replayUs);
    std::printf("round records: %d (fast and slow play), %.0f keys a round on average, longest text %zu bytes\n",
                rounds, static_cast<double>(keys) / rounds, longest);
    std::printf("  decode and replay  median %8.1f us   max %8.1f us\n", replay.median, replay.max);
    std::printf("  decode only (peer) median %8.1f us   max %8.1f us\n", decode.median, decode.max);
    std::printf("  ratio of medians   %.2f\n", replay.median / decode.median);
    if (wrong != 0) {
        std::printf("  %d replays disagreed with the score played\n", wrong);
        return 1;
    }
    return 0;
}
