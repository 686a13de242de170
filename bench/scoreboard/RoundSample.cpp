// Prints one round of fast play for the score table's benchmark: its score
// and its record, "SCORE RECORD". A key every 100 ms, the aim walked the short
// way to the chicken and fired when on it, as a quick player would; replayed
// by the table like any posted round.
#include "RoundRecord.h"

#include <cstdio>

int main() {
    using namespace round_rules;
    Record record;
    record.generatorKind = platform::GeneratorKind::Glibc;
    auto generator = platform::Generator::Unseeded(record.generatorKind);
    record.generatorState = generator.State();
    GeneratorSource random(generator);
    Round round(record.start);
    std::uint32_t ms = kSettleMs;
    while (round.Running()) {
        const int ahead = (round.Chicken() - round.Aim() + kPositions) % kPositions;
        const Action action = ahead == 0 ? Action::Fire : ahead <= kPositions / 2 ? Action::Right : Action::Left;
        const Key key{ms, action};
        record.keys.push_back(key);
        ms += round.Press(key, random) == Outcome::Hit ? kAfterHitMs : 100;
    }
    std::printf("%d %s\n", round.Score(), EncodeRecord(record).c_str());
    return 0;
}
