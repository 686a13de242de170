// Start and end of the program, and the play-again loop.
#include "Game.h"

#include "Platform.h"
#include "Settings.h"

std::int32_t score = 0;
std::int32_t chickenPosition = 0;
std::int32_t aimPosition = 0;
std::atomic<bool> roundRunning{false};
Corvane::Sound chickenSound;

// One key from the console, as its low byte. End of input ends the game.
int ReadKey() {
    const int key = platform::_getch();
    if (key == platform::kEndOfInput) throw EndOfInput{};
    return key & 0xFF;
}

// Plays the first round (or the practice asked for) at once, then asks to
// play again until 'n'.
static void PlayUntilDone() {
    if (practiceAsked) {
        PlayPractice();
    } else {
        PlayRound();
    }
    for (;;) {
        Corvane::Sound prompt("Media/PlayAgain.wav");
        prompt.SetSpoken(true);
        prompt.Play(-1, false, 128, 128);
        const int key = ReadKey();
        if (key == 'y') PlayRound();
        if (key == 'n') break;
    }
}

int GameMain() {
    // Before the mixer starts, so it opens rendering for the player's ears.
    Corvane::SetOneEar(settings.oneEar);
    Corvane::SetHeadphones(settings.headphones);
    Corvane::InitLib(5);
    Corvane::SetGroupVolume(Corvane::Group::Music, settings.musicVolume);
    Corvane::SetGroupVolume(Corvane::Group::Effects, settings.effectsVolume);
    Corvane::SetGroupVolume(Corvane::Group::Speech, settings.speechVolume);
    Corvane::SetSpeechVoice(settings.speechRate, settings.voice);
    Corvane::SetScreenReader(settings.screenReader);
    if (settings.duck != 0) Corvane::SetDuck(settings.duck);
    chickenSound.Init("Media/Chicken.wav");
    try {
        PlayUntilDone();
    } catch (const EndOfInput&) {
        // Standard input closed: leave as if the player had answered 'n'.
    }
    Corvane::CloseLib();
    return 0;
}
