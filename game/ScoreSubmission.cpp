// The end of a round: the scoreless clip, or the offer to send the score.
#include "Game.h"

#include "NameFile.h"
#include "Platform.h"
#include "ScoreProtocol.h"

#include <iostream>
#include <string>

namespace {

constexpr std::uint32_t kAfterScorelessMs = 500;
const std::string kNameFile = NameFilePath();

}  // namespace

// The score table the README's command runs on this machine.
std::string ScoreSite() { return "localhost:" + std::to_string(score_protocol::kDefaultPort); }

// Runs once at the end of every round, while the music still plays.
void FinishRound() {
    if (score < 0) {
        // "media" in lower case as the game has always asked: the service
        // matches a sound's folders ignoring case, so this is Media/'s clip.
        Corvane::Sound scoreless("media/scoreless.wav");
        scoreless.SetSpoken(true);
        scoreless.Play(-1, false, 128, 128);
        platform::Sleep(static_cast<std::uint32_t>(scoreless.GetLength()) + kAfterScorelessMs);
        return;
    }
    Corvane::Sound prompt("Media/SendScore.wav");
    prompt.SetSpoken(true);
    prompt.Play(-1, false, 128, 128);
    for (;;) {
        const int key = ReadKey();
        std::cout << std::endl;
        if (key == 'y') {
            SubmitScore();
            return;
        }
        if (key == 'n') return;
    }
}

// Posts the score under the player's name, asking for it the first time.
void SubmitScore() {
    std::string name = ReadNameFile(kNameFile);
    if (name.empty()) {
        Corvane::Sound namePrompt("Media/Name.wav");
        namePrompt.SetSpoken(true);
        namePrompt.Play(-1, false, 128, 128);
        platform::ReadLine(name);
        // Only a real name is kept: an empty one would be sent forever.
        if (!name.empty()) StoreNameFile(kNameFile, name);
    }
    std::string game = kGameName;
    std::string site = ScoreSite();
    // The table replays the round to check the score.
    if (const std::string record = RoundRecordText(); !record.empty()) Corvane::SetRoundRecord(record);
    Corvane::PostScore(game, score, name, site);
}
