#include "KeyMap.h"

#include "Platform.h"

#include <array>
#include <cstdio>
#include <vector>

namespace {

struct Binding {
    Action action;
    int Settings::*key;
    const char* setting;
    const char* spoken;  // what the action is called aloud
};

constexpr std::array<Binding, 9> kBindings{{
    {Action::AimRight, &Settings::keyRight, "key-right", "aim right"},
    {Action::AimLeft, &Settings::keyLeft, "key-left", "aim left"},
    {Action::Fire, &Settings::keyFire, "key-fire", "fire"},
    {Action::SayScore, &Settings::keyScore, "key-score", "say the score"},
    {Action::MusicQuieter, &Settings::keyQuieter, "key-quieter", "music quieter"},
    {Action::MusicLouder, &Settings::keyLouder, "key-louder", "music louder"},
    {Action::Pause, &Settings::keyPause, "key-pause", "pause"},
    {Action::EndPractice, &Settings::keyEndPractice, "key-end-practice", "end practice"},
    {Action::Help, &Settings::keyHelp, "key-help", "these keys"},
}};

// The arrow an aim always answers to as well; 0 for the other actions.
int ArrowOf(Action action) {
    if (action == Action::AimLeft) return platform::kArrowLeft;
    return action == Action::AimRight ? platform::kArrowRight : 0;
}

}  // namespace

std::string SpokenKey(int key) {
    switch (key) {
        case ' ': return "Space";
        case platform::kArrowLeft: return "Left arrow";
        case platform::kArrowRight: return "Right arrow";
        case '-': return "Minus";
        case '=': return "Equals";
        case '+': return "Plus";
        case '.': return "Period";
        case ',': return "Comma";
        case ';': return "Semicolon";
        case ':': return "Colon";
        case '/': return "Slash";
        case '\\': return "Backslash";
        case '\'': return "Apostrophe";
        case '[': return "Left bracket";
        case ']': return "Right bracket";
        default: break;
    }
    if (key >= 'A' && key <= 'Z') return std::string("Capital ") + static_cast<char>(key);
    return std::string(1, static_cast<char>(key));
}

Action ActionOfKey(int key, const Settings& s) {
    if (key == platform::kArrowLeft) return Action::AimLeft;
    if (key == platform::kArrowRight) return Action::AimRight;
    for (const Binding& binding : kBindings)
        if (s.*binding.key == key) return binding.action;
    return Action::None;
}

std::optional<int> KeyOfName(std::string_view name) {
    if (name == "space") return ' ';
    if (name == "left") return platform::kArrowLeft;
    if (name == "right") return platform::kArrowRight;
    if (name.size() != 1 || name[0] <= ' ' || name[0] > '~') return std::nullopt;
    for (const int taken :
         {int{'y'}, int{'n'}, platform::kArrowUp, platform::kArrowDown, platform::kArrowLeft, platform::kArrowRight})
        if (name[0] == taken) return std::nullopt;
    return name[0];
}

std::string KeyName(int key) {
    if (key == ' ') return "space";
    if (key == platform::kArrowLeft) return "left";
    if (key == platform::kArrowRight) return "right";
    return std::string(1, static_cast<char>(key));
}

void KeepKeysApart(Settings& s) {
    const Settings defaults;
    for (bool clashed = true; clashed;) {
        clashed = false;
        for (const Binding& first : kBindings) {
            const int key = s.*first.key;
            std::vector<const Binding*> sharing;
            for (const Binding& other : kBindings)
                if (s.*other.key == key || ArrowOf(other.action) == key) sharing.push_back(&other);
            if (sharing.size() < 2) continue;
            std::string names;
            for (std::size_t i = 0; i < sharing.size(); ++i) {
                names += i == 0 ? "" : i + 1 == sharing.size() ? " and " : ", ";
                names += sharing[i]->setting;
                s.*sharing[i]->key = defaults.*sharing[i]->key;
            }
            std::fprintf(stderr, "barnblast: %s are %s the key %s; they keep their defaults\n", names.c_str(),
                         sharing.size() == 2 ? "both" : "all", KeyName(key).c_str());
            clashed = true;
        }
    }
}

std::string KeysSpoken(bool practice, const Settings& s) {
    std::string text;
    for (const Binding& binding : kBindings) {
        if (binding.action == Action::EndPractice && !practice) continue;
        const int key = s.*binding.key;
        const int arrow = ArrowOf(binding.action);
        text += text.empty() ? "" : " ";
        text += SpokenKey(key);
        if (arrow != 0 && arrow != key)
            text += " or " + std::string(arrow == platform::kArrowLeft ? "left" : "right") + " arrow";
        text += std::string(", ") + binding.spoken + ".";
    }
    return text;
}
