// Firing at the chicken.
#include "Game.h"

#include "Platform.h"

namespace {
constexpr int kPoints = 5;
constexpr std::uint32_t kAfterHitMs = 300;
}  // namespace

// One shot: a hit scores and moves the chicken, a miss costs points.
void Shoot() {
    Corvane::Sound shot("Media/Shot.wav");
    shot.Play(-1, false, 128, 128);
    if (chickenPosition != aimPosition) {
        score -= kPoints;
        return;
    }
    Corvane::Sound kill("Media/KillChicken.wav");
    kill.Play(-1, false, 128, 128);
    chickenPosition = platform::rand() % 15 + 1;  // never back to 0
    score += kPoints;
    platform::Sleep(kAfterHitMs);
    UpdateAimFeedback();
}
