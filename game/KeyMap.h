// The keys of a round as the player set them (Settings.h): which action a
// key is, how a key is named in the settings and aloud, and what h says.
#pragma once

#include "Settings.h"

#include <optional>
#include <string>
#include <string_view>

enum class Action {
    None,
    AimLeft,
    AimRight,
    Fire,
    SayScore,
    MusicQuieter,
    MusicLouder,
    Help,
    Pause,
    EndPractice,
};

// The action `key` (a byte from ReadKey) stands for in `s`. The arrows
// always aim, whatever else is set.
Action ActionOfKey(int key, const Settings& s = settings);

// What a key setting must be, as a bad value's line says it.
inline constexpr const char* kKeyMustBe =
    "one printable character other than y, n, H, K, M and P (the answers and the arrows), or space, left or right";

// A key setting's value: one printable character, or space, left or right
// (the arrows). nullopt for anything else, and for the answers y and n and
// the bytes the arrows send after their prefix (H, K, M, P).
std::optional<int> KeyOfName(std::string_view name);
// The value a key setting is written with: "space", "left", "right" or the character.
std::string KeyName(int key);

// A key as it is said aloud: "Space", "Left arrow", "Minus", "l";
// punctuation eSpeak NG would skip, and capitals, by name.
std::string SpokenKey(int key);

// Two or more actions on one key (an aim's arrow counts as its key too):
// each such key is one line on standard error naming the settings, and
// they all keep their defaults, until no key stands for two actions.
void KeepKeysApart(Settings& s);

// What the help key says: every key of a round as set, and, in practice,
// the key that ends it.
std::string KeysSpoken(bool practice = false, const Settings& s = settings);
