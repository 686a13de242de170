#include "Platform.h"

#include <mutex>

namespace platform {
namespace {

// This system's C library generator, never seeded unless a round asks for a
// start of its own: every run draws the sequence the C library starts with.
struct Shared {
    std::mutex mutex;
    Generator generator = Generator::Unseeded(NativeGeneratorKind());
};

Shared& S() {
    static Shared shared;
    return shared;
}

}  // namespace

int rand() {
    std::lock_guard lock(S().mutex);
    return S().generator.Next();
}

Generator GetRandState() {
    std::lock_guard lock(S().mutex);
    return S().generator;
}

void SetRandState(const Generator& generator) {
    std::lock_guard lock(S().mutex);
    S().generator = generator;
}

}  // namespace platform
