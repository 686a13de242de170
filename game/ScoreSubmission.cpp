// The end of a round: the scoreless clip, or the offer to send the score.
#include "Game.h"

#include "Paths.h"
#include "Platform.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

namespace {

constexpr std::uint32_t kAfterScorelessMs = 500;
const std::string kNameFile = NameFilePath();
constexpr const char* kGameName = "Barnblast V2";
// The score table the README's command runs on this machine.
constexpr const char* kScoreSite = "localhost:8765";

// The first line of the name file, or "" when it is missing or empty.
std::string StoredName() {
    std::ifstream in(kNameFile);
    std::string name;
    if (!in || !std::getline(in, name)) return {};
    // Files written on Windows end their line with CR LF.
    if (!name.empty() && name.back() == '\r') name.pop_back();
    return name;
}

// Replaces the name file in one step: it never exists half-written or empty.
void StoreName(const std::string& name) {
    std::random_device random;
    const std::string temporary = std::string(kNameFile) + ".tmp" + std::to_string(random());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << name;
        out.flush();
        if (!out) {
            out.close();
            std::remove(temporary.c_str());
            return;  // not saved: the player is asked again next time
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, kNameFile, error);
    if (error) std::remove(temporary.c_str());
}

}  // namespace

// Runs once at the end of every round, while the music still plays.
void FinishRound() {
    if (score < 0) {
        Corvane::Sound scoreless("media/scoreless.wav");
        scoreless.Play(-1, false, 128, 128);
        platform::Sleep(static_cast<std::uint32_t>(scoreless.GetLength()) + kAfterScorelessMs);
        return;
    }
    Corvane::Sound prompt("Media/SendScore.wav");
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
    std::string name = StoredName();
    if (name.empty()) {
        Corvane::Sound namePrompt("Media/Name.wav");
        namePrompt.Play(-1, false, 128, 128);
        platform::ReadLine(name);
        // Only a real name is kept: an empty one would be sent forever.
        if (!name.empty()) StoreName(name);
    }
    std::string game = kGameName;
    std::string site = kScoreSite;
    Corvane::PostScore(game, score, name, site);
}
