// A practice round: first every sound of the game with its name, then a
// round without a clock whose score is never sent, until the player's key
// ends it.
#include "Game.h"
#include "KeyMap.h"
#include "Platform.h"
#include "Settings.h"

#include <algorithm>
#include <string>

bool practiceAsked = false;

namespace {

// A name is said, then its sound heard: about 70 ms a character at eSpeak
// NG's own 175 words a minute, longer at a slower rate.
constexpr std::uint32_t kCharMsAtUsualRate = 70;
constexpr int kUsualRate = 175;
constexpr std::uint32_t kAfterNameMs = 300;
constexpr std::uint32_t kSoundMs = 2000;  // each sound's turn
constexpr std::uint32_t kMusicMs = 4000;
constexpr std::uint32_t kAfterScoreMs = 1000;
constexpr int kFarOff = 15;  // the chicken's farthest offset from the aim

// The cluck as a round plays it: placed by pan, or for one ear by the pitch
// of the chicken's offset from the aim.
struct Cluck {
    const char* name;
    const char* oneEarName;
    int pan;
    int offset;
    int volume;
};

constexpr Cluck kClucks[] = {
    {"The cluck, far left.", "The cluck, the chicken far to the left: low.", 0, -kFarOff, 128},
    {"The cluck, in the middle.", "The cluck, the chicken one step to the right: a little higher.", 128, 1, 128},
    {"The cluck, far right.", "The cluck, the chicken far to the right: high.", 255, kFarOff, 128},
    {"The cluck on target: centred and loud.", "The cluck on target: loud.", 128, 0, 255},
};

void SayName(const std::string& name) {
    Corvane::SpeakText(name);
    const auto rate = static_cast<std::uint32_t>(std::max(settings.speechRate, Corvane::kSlowestSpeech));
    platform::Sleep(static_cast<std::uint32_t>(name.size()) * kCharMsAtUsualRate * kUsualRate / rate + kAfterNameMs);
}

// Every sound of a round, each after its name.
void PlayEverySound(Corvane::Sound& music) {
    for (const Cluck& cluck : kClucks) {
        SayName(settings.oneEar ? cluck.oneEarName : cluck.name);
        if (settings.oneEar) chickenSound.Pitch(OneEarPitchCents(cluck.offset));
        chickenSound.Play(1, true, settings.oneEar ? 128 : cluck.pan, cluck.volume);
        platform::Sleep(kSoundMs);
        chickenSound.Stop();
    }
    Corvane::Sound shot("Media/Shot.wav");
    SayName("A shot that misses.");
    shot.Play(-1, false, 128, 128);
    platform::Sleep(kSoundMs);
    Corvane::Sound kill("Media/KillChicken.wav");
    SayName("A shot that hits.");
    shot.Play(-1, false, 128, 128);
    kill.Play(-1, false, 128, 128);
    platform::Sleep(kSoundMs);
    SayName("The music.");
    music.Play(2, true, -1, 32);
    platform::Sleep(kMusicMs);
}

}  // namespace

void PlayPractice() {
    Corvane::Sound music("Media/Background.mp3");
    music.SetGroup(Corvane::Group::Music);
    PlayEverySound(music);
    Corvane::SpeakText("Practice: no clock, and no score sent. " + SpokenKey(settings.keyEndPractice) +
                       ", end practice.");
    score = 0;
    chickenSound.Play(1, true, 128, 128);
    UpdateAimFeedback();
    for (;;) {
        const Action action = ActionOfKey(ReadKey());
        if (action == Action::EndPractice) break;
        if (action == Action::Help) {
            Corvane::SpeakText(KeysSpoken(true));
        } else {
            HandleAction(action);
        }
    }
    chickenSound.Stop();
    Corvane::SpeakNumber(score);
    platform::Sleep(kAfterScoreMs);
}
