#include "Generator.h"

namespace platform {
namespace {

constexpr std::size_t kSeparation = 3;  // glibc's TYPE_3: r[i] = r[i-3] + r[i-31]
constexpr int kDiscarded = 310;         // srandom throws away ten rounds of the table

}  // namespace

Generator Generator::Unseeded(GeneratorKind kind) {
    // Both libraries start as if seeded with 1.
    return Seeded(kind, 1);
}

Generator Generator::Seeded(GeneratorKind kind, std::uint32_t seed) {
    Generator g(kind);
    if (kind == GeneratorKind::Msvcrt) {
        g.words_[0] = seed;
        return g;
    }
    // srandom: the table from seed by 16807 * r mod (2^31 - 1), computed in
    // glibc's signed way (Schrage's method) so that seeds above 2^31, which
    // glibc reads as negative, give the same table.
    if (seed == 0) seed = 1;
    auto word = static_cast<std::int32_t>(seed);
    g.words_[0] = seed;
    for (std::size_t i = 1; i < kDegree; ++i) {
        const std::int64_t hi = word / 127773;
        const std::int64_t lo = word % 127773;
        word = static_cast<std::int32_t>(16807 * lo - 2836 * hi);
        if (word < 0) word += 2147483647;
        g.words_[i] = static_cast<std::uint32_t>(word);
    }
    // glibc's first sum is r[3] + r[0], stored over r[3]: r[3] is the oldest.
    g.oldest_ = kSeparation;
    for (int i = 0; i < kDiscarded; ++i) g.Next();
    return g;
}

std::optional<Generator> Generator::FromState(GeneratorKind kind, std::span<const std::uint32_t> words) {
    if (kind != GeneratorKind::Msvcrt && kind != GeneratorKind::Glibc) return std::nullopt;
    if (words.size() != StateWords(kind)) return std::nullopt;
    Generator g(kind);
    for (std::size_t i = 0; i < words.size(); ++i) g.words_[i] = words[i];
    return g;
}

std::size_t Generator::StateWords(GeneratorKind kind) { return kind == GeneratorKind::Msvcrt ? 1 : kDegree; }

int Generator::Next() {
    if (kind_ == GeneratorKind::Msvcrt) {
        words_[0] = words_[0] * 214013U + 2531011U;
        return static_cast<int>((words_[0] >> 16) & 0x7fffU);
    }
    // r[i-31] sits at the oldest place, r[i-3] 28 places after it; the sum
    // takes the oldest one's place.
    const std::uint32_t sum = words_[oldest_] + words_[(oldest_ + kDegree - kSeparation) % kDegree];
    words_[oldest_] = sum;
    oldest_ = static_cast<std::uint8_t>((oldest_ + 1) % kDegree);
    return static_cast<int>(sum >> 1);
}

GeneratorKind Generator::Kind() const { return kind_; }

std::vector<std::uint32_t> Generator::State() const {
    if (kind_ == GeneratorKind::Msvcrt) return {words_[0]};
    std::vector<std::uint32_t> state(kDegree);
    for (std::size_t i = 0; i < kDegree; ++i) state[i] = words_[(oldest_ + i) % kDegree];
    return state;
}

GeneratorKind NativeGeneratorKind() {
#ifdef _WIN32
    return GeneratorKind::Msvcrt;
#else
    return GeneratorKind::Glibc;
#endif
}

}  // namespace platform
