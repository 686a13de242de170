// A stand-in for the sound service that records every call, stamped with the
// fake clock, so tests can check what the game asked for and in what order.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace recording {

struct Call {
    std::int64_t atMs;
    std::string what;  // e.g. "Chicken.wav Pan(17)", "SpeakNumber(-5)"
};

void Reset(const std::map<std::string, int>& lengthsMs = {});
std::vector<Call> Calls();
std::vector<std::string> What();  // the calls without their times
// The calls on sounds whose file name ends in `file`, as "Op(args)".
std::vector<std::string> On(const std::string& file);

// The round records handed to SetRoundRecord, oldest first (kept apart from
// the calls, whose order the tests check).
std::vector<std::string> RoundRecords();
// What GetRoundToken answers until the next Reset: a token and its seed, or
// nullopt (the default) as when the table does not answer.
void AnswerRoundTokens(std::optional<std::pair<std::string, std::uint32_t>> answer);

}  // namespace recording
