// The game itself, exactly as a player starts it, telling the start-up
// benchmark when its first sound and its first cluck reach the output.
// BENCH_EXEC_NS is the harness's monotonic clock just before exec;
// BENCH_REPORT_FD the descriptor the two lines go to.
#include "Game.h"
#include "Testing.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

long long execNs = 0;
int reportFd = -1;

long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Report(const char* what) {
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%s %.3f\n", what, double(NowNs() - execNs) / 1e6);
    if (n > 0) (void)!::write(reportFd, line, static_cast<std::size_t>(n));
}

// The music is low-passed below 480 Hz and plays at 1/8 volume: a step of
// 0.02 between two samples is the cluck's, never the music's.
void Observe(const float* stereo, int frames) {
    static bool heardSound = false, heardCluck = false;
    static float last = 0.0f;
    for (int i = 0; i < frames; ++i) {
        const float left = stereo[2 * i];
        if (!heardSound && std::fabs(left) > 1e-4f) {
            heardSound = true;
            Report("sound");
        }
        if (!heardCluck && std::fabs(left - last) > 0.02f) {
            heardCluck = true;
            Report("cluck");
        }
        last = left;
    }
}

}  // namespace

int main() {
    if (const char* v = std::getenv("BENCH_EXEC_NS")) execNs = std::atoll(v);
    if (const char* v = std::getenv("BENCH_REPORT_FD")) reportFd = std::atoi(v);
    Report("main");
    Corvane::testing::SetRenderObserver(&Observe);
    return GameMain();
}
