// What mixing costs when the sounds are at 44.1 kHz, which the mixer
// resamples to its 48 kHz as it plays, against the same sounds at 48 kHz:
// what making the files at the mixing rate saves.
// The game's scene: the cluck looping, the music streaming, a shot now and
// then. Prints the median CPU per second of audio over interleaved turns.
#include "Corvane.h"
#include "Testing.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// A copy of `in` at `rate`, linearly interpolated: the content does not
// matter here, only the rate the mixer gets it at.
std::string AtRate(const std::string& in, int rate, const std::string& out) {
    SF_INFO info{};
    SNDFILE* f = sf_open(in.c_str(), SFM_READ, &info);
    if (!f) {
        std::fprintf(stderr, "bench: cannot read %s\n", in.c_str());
        std::exit(1);
    }
    std::vector<float> src(static_cast<std::size_t>(info.frames) * info.channels);
    sf_readf_float(f, src.data(), info.frames);
    sf_close(f);
    const double step = static_cast<double>(info.samplerate) / rate;
    const auto frames = static_cast<sf_count_t>(static_cast<double>(info.frames) / step);
    std::vector<float> dst(static_cast<std::size_t>(frames) * info.channels);
    for (sf_count_t i = 0; i < frames; ++i) {
        const double at = static_cast<double>(i) * step;
        const auto j = std::min<sf_count_t>(static_cast<sf_count_t>(at), info.frames - 2);
        const double w = at - static_cast<double>(j);
        for (int c = 0; c < info.channels; ++c) {
            dst[i * info.channels + c] =
                static_cast<float>((1 - w) * src[j * info.channels + c] + w * src[(j + 1) * info.channels + c]);
        }
    }
    SF_INFO outInfo{};
    outInfo.samplerate = rate;
    outInfo.channels = info.channels;
    outInfo.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* o = sf_open(out.c_str(), SFM_WRITE, &outInfo);
    sf_writef_float(o, dst.data(), frames);
    sf_close(o);
    return out;
}

// CPU of the rendering thread per second of the scene's audio.
double SceneCostMs(const std::string& cluckFile, const std::string& musicFile, const std::string& shotFile) {
    constexpr int kSeconds = 20;
    constexpr int kBlock = 240;
    Corvane::testing::InitLibWithoutOutput(8, 10000);
    double cost = 0;
    {
        Corvane::Sound cluck(cluckFile), music(musicFile), shot(shotFile);
        music.Play(2, true, -1, 160);
        cluck.Play(1, true, 64, 255);
        const double start = ThreadCpuMs();
        for (int block = 0; block < kSeconds * 48000 / kBlock; ++block) {
            if (block % 200 == 0) shot.Play(3, false, 128, 255);
            Corvane::testing::Render(kBlock);
            Corvane::testing::ServiceStreams();
        }
        cost = (ThreadCpuMs() - start) / kSeconds;
    }
    Corvane::CloseLib();
    return cost;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string media = argc > 1 ? argv[1] : "Media";
    const int turns = argc > 2 ? std::atoi(argv[2]) : 7;
    // Both sets made here, whatever rate the committed files have.
    const auto at = [&](const char* name, int rate) {
        return AtRate(media + "/" + name, rate, "/tmp/barnblast-bench-" + std::to_string(rate) + "-" + name + ".wav");
    };
    const std::string cluck = at("Chicken.wav", 44100), shot = at("Shot.wav", 44100);
    const std::string music = at("Background.mp3", 44100);
    const std::string cluck48 = at("Chicken.wav", 48000), shot48 = at("Shot.wav", 48000);
    const std::string music48 = at("Background.mp3", 48000);
    std::vector<double> at44, at48, ratio;
    for (int t = 0; t < turns; ++t) {
        at44.push_back(SceneCostMs(cluck, music, shot));
        at48.push_back(SceneCostMs(cluck48, music48, shot48));
        ratio.push_back(at48.back() / at44.back());
    }
    std::printf("Mixing the game's scene, CPU per second of audio, medians of %d turns:\n", turns);
    std::printf("  sounds at 44.1 kHz, resampled while mixing   %.3f ms\n", Median(at44));
    std::printf("  sounds already at the mixing rate (48 kHz)   %.3f ms\n", Median(at48));
    std::printf("  48 kHz / 44.1 kHz: %.2f\n", Median(ratio));
    return 0;
}
