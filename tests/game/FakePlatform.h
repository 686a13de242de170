// A scripted stand-in for the console, threads and time, with a virtual
// clock: a two-minute round runs in milliseconds, in a fixed order.
//
// The test's own thread drives the clock: its key reads and sleeps move time
// forward. Other threads (the round timer) sleep until the clock reaches
// their deadline; the clock moves on only once they are asleep again or done.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fake {

struct Key {
    std::int64_t afterMs;  // time since the previous read returned
    int byte;
};

void Reset();                                   // fresh clock and scripts; call from the test's thread
void Finish();                                  // wakes every sleeper and joins every thread
std::int64_t Now();                             // virtual milliseconds since Reset
void ScriptKeys(const std::vector<Key>& keys);  // then end of input
void ScriptLines(const std::vector<std::optional<std::string>>& lines);  // nullopt: end of input
// rand() gives these first; then, if the game called SetRandState, draws
// from that generator, otherwise gives 0.
void ScriptRand(const std::vector<int>& values);
void FailThreadStarts(bool fail);
int KeysLeft();

}  // namespace fake
