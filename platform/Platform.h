// What the game takes from the operating system: one key at a time, one
// typed line, detached threads, sleeping and the C library's generator.
// The names follow the console runtime the game was first written for.
#pragma once

#include "Generator.h"

#include <cstdint>
#include <string>

namespace platform {

// Returned by _getch when standard input has ended.
constexpr int kEndOfInput = -1;

// An arrow key is two bytes from _getch: kArrowPrefix, then one of these.
constexpr int kArrowPrefix = 0xE0;
constexpr int kArrowUp = 0x48;
constexpr int kArrowDown = 0x50;
constexpr int kArrowLeft = 0x4B;
constexpr int kArrowRight = 0x4D;

// One byte (0..255) of keyboard input, without echo or line buffering.
// Arrow keys arrive as kArrowPrefix followed by kArrowUp, kArrowDown,
// kArrowLeft or kArrowRight. Returns kEndOfInput once standard input has
// ended.
int _getch();

// One line of standard input without its line end, typed with the terminal's
// normal echo and editing. Returns false when input ended before a line end
// and nothing was typed.
bool ReadLine(std::string& line);

// Starts a detached thread running routine(arg). Returns -1 on failure.
std::intptr_t _beginthread(void (*routine)(void*), unsigned stackSize, void* arg);

// Sleeps for at least `ms` milliseconds.
void Sleep(std::uint32_t ms);

// Milliseconds on the clock Sleep waits by: only differences mean anything
// (they wrap after 49 days). A Sleep(ms) started after one reading ends at
// least `ms` later by it.
std::uint32_t Milliseconds();

// The C library's pseudo-random generator (reproduced, see Generator.h),
// never seeded unless SetRandState gives it a start: 0..RAND_MAX.
int rand();

// The generator's place, so that a round can be recorded and replayed.
Generator GetRandState();
void SetRandState(const Generator& generator);

}  // namespace platform
