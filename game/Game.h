// The game's shared state and its functions, grouped by the file that
// defines them. Everything here runs on the main thread except RoundTimer.
#pragma once

#include "Corvane.h"
#include "RoundRules.h"

#include <atomic>
#include <cstdint>
#include <string>

// Game state, zero at program start.
extern std::int32_t score;              // points of the current round; 0 when a round starts
extern std::int32_t chickenPosition;    // 0 until the first hit, then 1..15; set by Shoot
extern std::int32_t aimPosition;        // 0..15; set by HandleKey
extern std::atomic<bool> roundRunning;  // set and cleared by the timer thread, read by the main thread

// The chicken's cluck, open for the whole process.
extern Corvane::Sound chickenSound;

// Thrown by ReadKey when standard input has ended: the game ends cleanly.
struct EndOfInput {};

// The game's name at the score table.
inline constexpr const char* kGameName = "Barnblast V2";
enum class Action;

// Entry.cpp
int GameMain();
int ReadKey();

// Round.cpp
void PlayRound();
void RoundTimer(void* unused);
void HandleKey();
void HandleAction(Action action);
void ChangeMusicVolume(int step);
int OneEarPitchCents(int offset);
void UpdateAimFeedback();
// The record of the last round played to its end, as the score table reads
// it; "" before any.
std::string RoundRecordText();

// Practice.cpp
extern bool practiceAsked;  // --practice: the first round is a practice round
void PlayPractice();

// Shot.cpp
// The generator the chicken's places come from: the C library's, as the
// platform gives it.
class PlatformRandom final : public round_rules::RandomSource {
public:
    int Next() override;
};
void Shoot();
void HearShot(round_rules::Outcome outcome);

// ScoreSubmission.cpp
void FinishRound();
void SubmitScore();
std::string ScoreSite();
