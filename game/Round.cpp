// A round: two minutes of aiming by ear, then the score.
#include "Game.h"

#include "KeyMap.h"
#include "Platform.h"
#include "Settings.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>

namespace {

constexpr std::uint32_t kRoundMs = 120000;
constexpr std::uint32_t kSettleMs = 100;
constexpr std::uint32_t kAfterScoreMs = 1000;
constexpr int kPositions = 16;  // the aim's places in the row, 0..15
constexpr int kLastPosition = kPositions - 1;
constexpr int kPanStep = 17;  // the 16 places over the 0..255 pan range

// Set by the timer thread once the round is running and the cluck plays.
// A mutex and condition rather than atomic wait: the Windows C++ runtime's
// atomic wait can miss its wake-up and leave the round waiting forever.
std::mutex timerMutex;
std::condition_variable timerChanged;
bool timerStarted = false;

// One step of the aim, -1 left or +1 right: past either end of the row it
// comes round to the other.
void MoveAim(int step) {
    aimPosition = (aimPosition + step + kPositions) % kPositions;
    UpdateAimFeedback();
}

}  // namespace

// One round: music, the timer thread, keys until time is up, the score.
void PlayRound() {
    score = 0;
    Corvane::Sound music("Media/Background.mp3");
    music.SetGroup(Corvane::Group::Music);
    music.Play(2, true, -1, 32);

    {
        std::lock_guard lock(timerMutex);
        timerStarted = false;
    }
    if (platform::_beginthread(RoundTimer, 0, nullptr) != -1) {
        // The first feedback must follow the cluck's Play, or Play's pan and
        // volume would cover it; and no key counts before the round runs.
        std::unique_lock lock(timerMutex);
        timerChanged.wait(lock, [] { return timerStarted; });
    }
    UpdateAimFeedback();
    platform::Sleep(kSettleMs);
    while (roundRunning) HandleKey();

    Corvane::SpeakNumber(score);
    platform::Sleep(kAfterScoreMs);
    FinishRound();
}

// The round's clock, on a thread of its own: cluck for two minutes.
void RoundTimer(void*) {
    roundRunning = true;
    chickenSound.Play(1, true, 128, 128);
    {
        std::lock_guard lock(timerMutex);
        timerStarted = true;
    }
    timerChanged.notify_all();
    platform::Sleep(kRoundMs);
    chickenSound.Stop();
    roundRunning = false;
}

// The music's volume from the player's keys: heard at once, and kept for
// the next game.
void ChangeMusicVolume(int step) {
    settings.musicVolume = std::clamp(settings.musicVolume + step, 0, 100);
    Corvane::SetGroupVolume(Corvane::Group::Music, settings.musicVolume);
    SaveSettings(settings);
}

// Reads one key and acts on it, as the player's keys say (KeyMap.h).
void HandleKey() { HandleAction(ActionOfKey(ReadKey())); }

// Aims, speaks the score, fires, sets the music's volume or says the keys.
void HandleAction(Action action) {
    switch (action) {
        case Action::AimRight: MoveAim(+1); break;
        case Action::AimLeft: MoveAim(-1); break;
        case Action::SayScore: Corvane::SpeakNumber(score); break;
        case Action::Fire: Shoot(); break;
        case Action::MusicQuieter: ChangeMusicVolume(-10); break;
        case Action::MusicLouder: ChangeMusicVolume(+10); break;
        case Action::Help: Corvane::SpeakText(KeysSpoken()); break;
        case Action::Pause:
        case Action::EndPractice:
        case Action::None: break;
    }
}

// For one ear: the chicken's offset from the aim on the row, -15..15
// (positive: it is to the right), as the cluck's pitch in cents. An octave
// at the far end; growing with the square root of the distance, so the
// first steps off target change the pitch most (310 cents, about three
// semitones, at one step), where the player decides whether to fire.
int OneEarPitchCents(int offset) {
    const double share = std::sqrt(std::abs(offset) / static_cast<double>(kLastPosition));
    const int cents = static_cast<int>(std::lround(1200.0 * share));
    return offset < 0 ? -cents : cents;
}

// The cluck follows the aim; on target it is centred and loud. For one ear
// it stays centred and its pitch says where the chicken is instead.
void UpdateAimFeedback() {
    if (settings.oneEar) {
        chickenSound.Pitch(OneEarPitchCents(chickenPosition - aimPosition));
        chickenSound.Volume(chickenPosition == aimPosition ? 255 : 128);
        return;
    }
    chickenSound.Pan(aimPosition * kPanStep);
    if (chickenPosition == aimPosition) {
        chickenSound.Pan(128);
        chickenSound.Volume(255);
    } else {
        chickenSound.Volume(128);
    }
}
