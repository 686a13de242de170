// Firing at the chicken.
#include "Game.h"

#include "Platform.h"

int PlatformRandom::Next() { return platform::rand(); }

// One shot from where the aim is, outside a round's record: a hit scores and
// moves the chicken, a miss costs points.
void Shoot() {
    round_rules::Round shot({chickenPosition, aimPosition}, false);
    PlatformRandom random;
    const round_rules::Outcome outcome = shot.Press({round_rules::kSettleMs, round_rules::Action::Fire}, random);
    score += shot.Score();
    chickenPosition = shot.Chicken();
    HearShot(outcome);
}

// What a shot sounds like; after a hit no key is read for a while, and the
// cluck then says where the chicken went.
void HearShot(round_rules::Outcome outcome) {
    Corvane::Sound shot("Media/Shot.wav");
    shot.Play(-1, false, 128, 128);
    if (outcome != round_rules::Outcome::Hit) return;
    Corvane::Sound kill("Media/KillChicken.wav");
    kill.Play(-1, false, 128, 128);
    platform::Sleep(round_rules::kAfterHitMs);
    UpdateAimFeedback();
}
