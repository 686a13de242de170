// The C library generators the game has drawn from, reproduced exactly and
// without any call into the system: a round drawn on one system can be
// replayed on another (the score table replays rounds played on Windows).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace platform {

enum class GeneratorKind : std::uint8_t { Msvcrt = 0, Glibc = 1 };

// The C library's generator of one system, reproduced exactly so that a
// round can be replayed elsewhere: the same values std::rand gives there.
class Generator {
public:
    static Generator Unseeded(GeneratorKind kind);                    // as the C library starts
    static Generator Seeded(GeneratorKind kind, std::uint32_t seed);  // as after srand(seed)
    // nullopt if the word count is wrong for the kind.
    static std::optional<Generator> FromState(GeneratorKind kind, std::span<const std::uint32_t> words);
    // How many words State() gives for a kind.
    static std::size_t StateWords(GeneratorKind kind);

    int Next();  // 0..0x7fff (Msvcrt) or 0..0x7fffffff (Glibc)
    GeneratorKind Kind() const;
    std::vector<std::uint32_t> State() const;  // Msvcrt: 1 word; Glibc: 31 words (oldest first)

    friend bool operator==(const Generator& a, const Generator& b) {
        return a.State() == b.State() && a.kind_ == b.kind_;
    }

private:
    static constexpr std::size_t kDegree = 31;  // glibc's TYPE_3 table

    explicit Generator(GeneratorKind kind) : kind_(kind) {}

    GeneratorKind kind_;
    // Msvcrt keeps its one word in words_[0]. Glibc keeps its last 31 sums
    // as a ring, the oldest at oldest_.
    std::array<std::uint32_t, kDegree> words_{};
    std::uint8_t oldest_ = 0;
};

// This build's C library: Msvcrt on Windows, Glibc elsewhere.
GeneratorKind NativeGeneratorKind();

}  // namespace platform
