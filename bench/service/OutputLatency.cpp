// How long a Pan call takes to be heard, and where the time of a spoken
// number goes. Runs the real output path (SDL; its dummy driver where there
// is no sound card) and prints medians over many tries.
#include "Corvane.h"
#include "Testing.h"

#include <sndfile.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> wantedSide{0};        // 0: left heard alone, 1: right heard alone, -1: not waiting
std::atomic<Clock::rep> startedAt{0};  // first block in which the move begins
std::atomic<Clock::rep> heardAt{0};    // first block that ends fully moved

void Observe(const float* stereo, int frames) {
    const auto now = Clock::now().time_since_epoch().count();
    const int side = wantedSide.load();
    if (side < 0) return;
    // Before the move the other side is the loud one (the tone peaks near
    // 0.3 there); OpenAL Soft fades a change in across the update it starts in.
    double other = 0;
    for (int i = frames - 64; i < frames; ++i)
        other = std::max(other, double(std::fabs(stereo[2 * i + (side == 0 ? 1 : 0)])));
    if (other < 0.25 && startedAt.load() == 0) startedAt.store(now);
    if (other < 1e-6) {
        heardAt.store(now);
        wantedSide.store(-1);
    }
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

std::string ToneFile() {
    const std::string path = "/tmp/barnblast-bench-tone.wav";
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    std::vector<float> s(48000);
    for (int i = 0; i < 48000; ++i) s[i] = 0.5f * std::sin(2 * M_PI * i / 48.0);
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_writef_float(f, s.data(), 48000);
    sf_close(f);
    return path;
}

// What one output configuration gives: the pan figures and the CPU a round
// costs while it waits for keys.
struct BlockResult {
    std::vector<double> panCall, panToStart, panToHeard;
    double idleCpuPercent = 0;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Measure(int callbackFrames, int updateFrames, int tries, const std::string& tone, BlockResult& result) {
    if (!Corvane::testing::InitLibWithBlocks(5, callbackFrames, updateFrames)) std::exit(1);
    {
        Corvane::Sound cluck(tone);
        cluck.Play(1, true, 0, 255);
        {
            // A round waiting for keys: the cluck and the music loop.
            Corvane::Sound music(tone);
            music.Play(2, true, -1, 32);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const auto wall = Clock::now();
            const double cpu = CpuSeconds();
            std::this_thread::sleep_for(std::chrono::seconds(2));
            const double seconds = std::chrono::duration<double>(Clock::now() - wall).count();
            result.idleCpuPercent = 100.0 * (CpuSeconds() - cpu) / seconds;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

        Corvane::testing::SetRenderObserver(&Observe);
        const int blockUs = callbackFrames * 1000000 / 48000;
        for (int i = 0; i < tries; ++i) {
            const int side = (i + 1) % 2;
            // Land at a random point within the output's rhythm.
            std::this_thread::sleep_for(std::chrono::microseconds(20000 + std::rand() % blockUs));
            heardAt = 0;
            startedAt = 0;
            const auto before = Clock::now();
            wantedSide = side;
            cluck.Pan(side == 0 ? 0 : 255);
            const auto after = Clock::now();
            while (heardAt == 0 && Clock::now() - before < std::chrono::seconds(1))
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            if (heardAt == 0) {
                std::printf("pan %d never heard\n", i);
                continue;
            }
            result.panCall.push_back(std::chrono::duration<double, std::micro>(after - before).count());
            result.panToHeard.push_back((heardAt.load() - before.time_since_epoch().count()) / 1e6);
            result.panToStart.push_back((startedAt.load() - before.time_since_epoch().count()) / 1e6);
        }
        Corvane::testing::SetRenderObserver(nullptr);
    }
    Corvane::CloseLib();
}

}  // namespace

int main() {
    const std::string tone = ToneFile();
    // The game's output beside the one it had before (10 ms blocks mixed in
    // one update), measured in turns so both see the same machine.
    struct Config {
        const char* name;
        int callbackFrames, updateFrames;
        BlockResult result;
    } configs[] = {{"5 ms blocks, 2.5 ms updates", 240, 120, {}},
                   {"10 ms blocks, 2.5 ms updates (the game)", 480, 120, {}},
                   {"10 ms blocks, one update (before)", 480, 480, {}}};
    constexpr int kConfigs = 3;
    std::vector<double> cpu[kConfigs];
    for (int turn = 0; turn < 4; ++turn) {
        for (int c = 0; c < kConfigs; ++c) {
            BlockResult part;
            Measure(configs[c].callbackFrames, configs[c].updateFrames, 50, tone, part);
            auto& all = configs[c].result;
            all.panCall.insert(all.panCall.end(), part.panCall.begin(), part.panCall.end());
            all.panToStart.insert(all.panToStart.end(), part.panToStart.begin(), part.panToStart.end());
            all.panToHeard.insert(all.panToHeard.end(), part.panToHeard.begin(), part.panToHeard.end());
            cpu[c].push_back(part.idleCpuPercent);
        }
    }
    for (int c = 0; c < kConfigs; ++c) {
        const auto& r = configs[c].result;
        std::printf("%s:\n", configs[c].name);
        std::printf("  Pan call:                            median %.1f us, p99 %.1f us (%zu tries)\n",
                    Median(r.panCall), Percentile(r.panCall, 0.99), r.panCall.size());
        std::printf("  Pan call to first block carrying it: median %.2f ms, p90 %.2f ms, max %.2f ms\n",
                    Median(r.panToStart), Percentile(r.panToStart, 0.9), Percentile(r.panToStart, 1.0));
        std::printf("  Pan call to first block fully moved: median %.2f ms, p90 %.2f ms, max %.2f ms\n",
                    Median(r.panToHeard), Percentile(r.panToHeard, 0.9), Percentile(r.panToHeard, 1.0));
        std::printf("  CPU while a round waits for keys:    median %.2f%% of a core\n", Median(cpu[c]));
    }
    std::printf("Fully moved, game / before: %.2f on a sound card, %.2f silent (medians)\n",
                Median(configs[0].result.panToHeard) / Median(configs[2].result.panToHeard),
                Median(configs[1].result.panToHeard) / Median(configs[2].result.panToHeard));

    if (!Corvane::InitLib(5)) return 1;
    std::vector<double> speakCall, synthesis;
    for (int i = 0; i < 30; ++i) {
        const auto before = Clock::now();
        Corvane::SpeakNumber(-1234 - i);
        const auto returned = Clock::now();
        Corvane::testing::WaitSpeechIdle(10000);
        const auto ready = Clock::now();
        speakCall.push_back(std::chrono::duration<double, std::micro>(returned - before).count());
        synthesis.push_back(std::chrono::duration<double, std::milli>(ready - before).count());
    }
    std::printf("SpeakNumber call:              median %.1f us, p99 %.1f us\n", Median(speakCall),
                Percentile(speakCall, 0.99));
    std::printf(
        "SpeakNumber(-1234) synthesized and queued to the mixer: median %.1f ms, max %.1f ms (the first "
        "one also starts the speech engine)\n",
        Median(synthesis), Percentile(synthesis, 1.0));
    Corvane::CloseLib();
    return 0;
}
