// A round: two minutes of aiming by ear, then the score. What a key does to
// the aim, the chicken and the score is the round's rules' (round_rules),
// which the score table replays; this file makes it heard.
#include "Game.h"

#include "KeyMap.h"
#include "Platform.h"
#include "RoundRecord.h"
#include "Settings.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>

namespace {

constexpr std::uint32_t kAfterScoreMs = 1000;
constexpr int kLastPosition = round_rules::kPositions - 1;  // the aim's places in the row, 0..15
constexpr int kPanStep = 17;                                // the 16 places over the 0..255 pan range
// The longest the round's start waits for the score table's token.
constexpr std::uint32_t kTokenWaitMs = 250;
// How often the stopped clock of a paused round is looked at again.
constexpr std::uint32_t kPausedLookMs = 100;

// Set by the timer thread once the round is running and the cluck plays.
// A mutex and condition rather than atomic wait: the Windows C++ runtime's
// atomic wait can miss its wake-up and leave the round waiting forever.
std::mutex timerMutex;
std::condition_variable timerChanged;
bool timerStarted = false;

// The round under way: its rules, its clock and its record. The timer thread
// reads the clock of play, the main thread presses keys.
struct Playing {
    std::mutex mutex;
    round_rules::Round round{round_rules::Start{}};
    std::uint32_t startMs = 0;  // platform::Milliseconds() when the round's time began
    round_rules::Record record;
    Corvane::Sound* music = nullptr;  // paused with the round
    bool over = false;                // the round is left, however: its clock stops
};
Playing playing;
// The last round played to its end, as text; "" before any.
std::string lastRecord;

// The round's start as the table replays it: where the chicken and the aim
// are, and the generator, which the table seeds when it answers in time.
void BeginRound(Corvane::Sound& music) {
    round_rules::Record record;
    record.start = {chickenPosition, aimPosition};
    record.generatorKind = platform::NativeGeneratorKind();
    std::string token;
    std::uint32_t seed = 0;
    if (Corvane::GetRoundToken(kGameName, ScoreSite(), kTokenWaitMs, token, seed)) {
        platform::SetRandState(platform::Generator::Seeded(record.generatorKind, seed));
        record.token = token;
    } else {
        record.generatorState = platform::GetRandState().State();
    }
    std::lock_guard lock(playing.mutex);
    playing.round = round_rules::Round(record.start);
    playing.record = std::move(record);
    playing.music = &music;
    playing.over = false;
    playing.startMs = platform::Milliseconds();
}

// The time of play left by the round's clock; while paused, how soon to look
// again. 0 once the two minutes have been played.
std::uint32_t PlayLeftMs() {
    std::lock_guard lock(playing.mutex);
    if (playing.over) return 0;
    if (playing.round.Paused()) return kPausedLookMs;
    const std::uint32_t played = playing.round.PlayedMs(platform::Milliseconds() - playing.startMs);
    return played >= round_rules::kRoundMs ? 0 : round_rules::kRoundMs - played;
}

bool RoundGoesOn() {
    std::lock_guard lock(playing.mutex);
    return playing.round.Running();
}

// What the player's key is to the round's rules: only aiming, firing and
// pause change the round; any other key is one the round handles all the
// same (it may be the key that ends it).
round_rules::Action RuleOf(Action action) {
    switch (action) {
        case Action::AimLeft: return round_rules::Action::Left;
        case Action::AimRight: return round_rules::Action::Right;
        case Action::Fire: return round_rules::Action::Fire;
        case Action::Pause: return round_rules::Action::Pause;
        default: return round_rules::Action::Other;
    }
}
// The cluck and the music stop while the round is paused, and come back
// with it; the player hears which. The music goes on from where it stopped.
// The cluck, a short loop whose place tells nothing, starts afresh: a whole
// cluck, not one faded in halfway.
void HearPause(bool paused, Corvane::Sound* music) {
    if (paused) {
        chickenSound.Stop();
        if (music) music->Pause();
        Corvane::SpeakText("paused");
        return;
    }
    chickenSound.Play(1, true, 128, 128);
    UpdateAimFeedback();
    if (music) music->Resume();
    Corvane::SpeakText("playing");
}

}  // namespace

// One round: music, the timer thread, keys until the round's rules end it,
// the score.
void PlayRound() {
    score = 0;
    Corvane::Sound music("Media/Background.mp3");
    music.SetGroup(Corvane::Group::Music);
    music.Play(2, true, -1, 32);
    BeginRound(music);
    // However the round is left (also when input ends), its clock stops.
    struct Leaving {
        ~Leaving() {
            std::lock_guard lock(playing.mutex);
            playing.over = true;
            playing.music = nullptr;
        }
    } leaving;

    {
        std::lock_guard lock(timerMutex);
        timerStarted = false;
    }
    bool timed = false;
    if (platform::_beginthread(RoundTimer, 0, nullptr) != -1) {
        // The first feedback must follow the cluck's Play, or Play's pan and
        // volume would cover it; and no key counts before the round runs.
        std::unique_lock lock(timerMutex);
        timerChanged.wait(lock, [] { return timerStarted; });
        timed = true;
    }
    UpdateAimFeedback();
    platform::Sleep(round_rules::kSettleMs);
    // Without its clock there is no round to play.
    while (timed && RoundGoesOn()) HandleKey();
    {
        std::lock_guard lock(playing.mutex);
        if (timed) lastRecord = round_rules::EncodeRecord(playing.record);
    }

    Corvane::SpeakNumber(score);
    platform::Sleep(kAfterScoreMs);
    FinishRound();
}

// The round's clock, on a thread of its own: cluck for two minutes of play.
void RoundTimer(void*) {
    roundRunning = true;
    chickenSound.Play(1, true, 128, 128);
    {
        std::lock_guard lock(timerMutex);
        timerStarted = true;
    }
    timerChanged.notify_all();
    for (std::uint32_t left = PlayLeftMs(); left > 0; left = PlayLeftMs()) platform::Sleep(left);
    chickenSound.Stop();
    roundRunning = false;
}

std::string RoundRecordText() {
    std::lock_guard lock(playing.mutex);
    return lastRecord;
}

// The music's volume from the player's keys: heard at once, and kept for
// the next game.
void ChangeMusicVolume(int step) {
    settings.musicVolume = std::clamp(settings.musicVolume + step, 0, 100);
    Corvane::SetGroupVolume(Corvane::Group::Music, settings.musicVolume);
    SaveSettings(settings);
}

// Reads one key and plays it through the round's rules: aim, fire or pause
// as they say, then the keys they leave to the game (speak the score, set
// the music's volume, say the keys). The key is kept in the round's record
// with the time it was read, unless the rules ignored it.
void HandleKey() {
    const Action action = ActionOfKey(ReadKey());
    round_rules::Outcome outcome{};
    bool counts = false;
    Corvane::Sound* music = nullptr;
    {
        std::lock_guard lock(playing.mutex);
        const std::uint32_t ms = platform::Milliseconds() - playing.startMs;
        const round_rules::Action rule = RuleOf(action);
        counts = playing.round.Running() && (!playing.round.Paused() || rule == round_rules::Action::Pause);
        PlatformRandom random;
        outcome = playing.round.Press({ms, rule}, random);
        if (counts) playing.record.keys.push_back({ms, rule});
        score = playing.round.Score();
        chickenPosition = playing.round.Chicken();
        aimPosition = playing.round.Aim();
        music = playing.music;
    }
    switch (outcome) {
        case round_rules::Outcome::Moved: UpdateAimFeedback(); break;
        case round_rules::Outcome::Hit:
        case round_rules::Outcome::Miss: HearShot(outcome); break;
        case round_rules::Outcome::Paused:
        case round_rules::Outcome::Resumed: HearPause(outcome == round_rules::Outcome::Paused, music); break;
        case round_rules::Outcome::Ignored: break;
    }
    if (counts && RuleOf(action) == round_rules::Action::Other) HandleAction(action);
}

// One action outside a round's clock and record (the practice round's), or
// one the rules leave to the game: aim, fire, speak the score, set the
// music's volume or say the keys.
void HandleAction(Action action) {
    switch (action) {
        case Action::AimRight:
        case Action::AimLeft: {
            round_rules::Round step({chickenPosition, aimPosition}, false);
            PlatformRandom random;
            step.Press({round_rules::kSettleMs, RuleOf(action)}, random);
            aimPosition = step.Aim();
            UpdateAimFeedback();
            break;
        }
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
