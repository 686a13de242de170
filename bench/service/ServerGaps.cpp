// Gaps and latency as heard through a real sound server, on a quiet machine
// and beside two busy loops (one per core, at the player's own priority):
// the service, and an SDL_mixer program with 480- and 2048-frame blocks,
// each playing a continuous tone in turn to a private PulseAudio daemon's
// null sink, recorded from its monitor.
//
// A gap is a run of at least 0.5 ms of digital silence in the recording,
// between its first and last sound, that is not in what the player handed
// to SDL (the service's capture; the tone itself never rests). Latency is
// what the server reports for the player's stream: buffer plus sink. The
// machine's own stalls are how late a thread at the highest real-time
// priority woke (the longest, and how many times by 2 ms or more): a
// virtual machine's host may take its processors away for milliseconds.
//
// Usage: bench_server_gaps [--players A,B,...] [--loads A,B,...]
//                          [seconds per run, default 20] [LOAD COMMAND...]
// A load command (say, a parallel build from scratch) adds a third load,
// "command", started afresh with each run and ended after it. Players are
// service, service240, service960, mixer480 and mixer2048 (all by
// default); loads quiet, busy and command (all by default).
// (bench_server_gaps --play PLAYER SECONDS TONE is one run's player.)
#include "Corvane.h"
#include "PulseServer.h"
#include "Testing.h"

#include <SDL2/SDL.h>
#ifdef BENCH_WITH_SDL_MIXER
#include <SDL2/SDL_mixer.h>
#endif
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::PulseServer;

constexpr std::size_t kGapFrames = 24;  // 0.5 ms at 48 kHz

// Runs of kGapFrames or more frames of exact zeros on both sides, between
// the first and the last frame that is not silent.
struct Gaps {
    int count = 0;
    double longestMs = 0;
};
Gaps CountGaps(const std::vector<float>& stereo) {
    const std::size_t frames = stereo.size() / 2;
    const auto silent = [&](std::size_t i) { return stereo[2 * i] == 0.0f && stereo[2 * i + 1] == 0.0f; };
    std::size_t first = 0, last = frames;
    while (first < frames && silent(first)) ++first;
    while (last > first && silent(last - 1)) --last;
    Gaps gaps;
    for (std::size_t i = first; i < last;) {
        if (!silent(i)) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < last && silent(end)) ++end;
        if (end - i >= kGapFrames) {
            ++gaps.count;
            gaps.longestMs = std::max(gaps.longestMs, (end - i) * 1000.0 / PulseServer::kRate);
        }
        i = end;
    }
    return gaps;
}

std::vector<float> ReadWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> samples(static_cast<std::size_t>(info.frames) * info.channels);
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    return samples;
}

// One second of a 1 kHz tone at half scale, mono: loops without a seam.
void WriteTone(const std::string& path) {
    SF_INFO info{};
    info.samplerate = PulseServer::kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    std::vector<float> tone(PulseServer::kRate);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000.0 * i / PulseServer::kRate));
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_writef_float(f, tone.data(), static_cast<sf_count_t>(tone.size()));
    sf_close(f);
}

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t comma; (comma = text.find(',', from)) != std::string::npos; from = comma + 1)
        parts.push_back(text.substr(from, comma - from));
    parts.push_back(text.substr(from));
    return parts;
}

// --- the players, each in a process of its own ---

// When each of the service's blocks was mixed, to tell a late player from a
// late server: written on the audio thread only, read after it has closed.
std::vector<std::chrono::steady_clock::time_point> mixedAt;
std::atomic<std::size_t> blocksMixed{0};

void NoteMixed(const float*, int) {
    const std::size_t n = blocksMixed.load(std::memory_order_relaxed);
    if (n < mixedAt.size()) mixedAt[n] = std::chrono::steady_clock::now();
    blocksMixed.store(n + 1, std::memory_order_release);
}

// `blockFrames` 0: the service's own choice. Prints the longest time
// between two blocks and how many came over 1.5 blocks after the one before.
int PlayService(int seconds, const std::string& tone, int blockFrames) {
    mixedAt.resize(static_cast<std::size_t>(seconds + 5) * 1000);
    Corvane::testing::SetRenderObserver(&NoteMixed);
    if (!(blockFrames ? Corvane::testing::InitLibWithBlocks(5, blockFrames, 120) : Corvane::InitLib(5))) return 1;
    {
        Corvane::Sound sound(tone);
        sound.Play(1, true, 128, 255);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    }
    Corvane::CloseLib();
    Corvane::testing::SetRenderObserver(nullptr);
    const std::size_t n = std::min(blocksMixed.load(std::memory_order_acquire), mixedAt.size());
    const double blockMs = 1000.0 * (blockFrames ? blockFrames : 480) / PulseServer::kRate;
    double longestMs = 0;
    int late = 0;
    // The first blocks fill the server's buffer at once; counted from the tenth.
    for (std::size_t i = 10; i < n; ++i) {
        const double ms = std::chrono::duration<double, std::milli>(mixedAt[i] - mixedAt[i - 1]).count();
        longestMs = std::max(longestMs, ms);
        late += ms > 1.5 * blockMs;
    }
    std::printf("  (the service's blocks: %zu, longest between two %.2f ms, %d over 1.5 blocks)\n", n, longestMs, late);
    std::fflush(stdout);
    return 0;
}

int PlayMixer(int seconds, const std::string& tone, int blockFrames) {
#ifdef BENCH_WITH_SDL_MIXER
    if (SDL_Init(SDL_INIT_AUDIO) != 0 || Mix_OpenAudio(48000, AUDIO_F32SYS, 2, blockFrames) != 0) {
        std::fprintf(stderr, "SDL_mixer: %s\n", SDL_GetError());
        return 1;
    }
    Mix_Chunk* chunk = Mix_LoadWAV(tone.c_str());
    if (!chunk) return 1;
    Mix_PlayChannel(-1, chunk, -1);
    SDL_Delay(static_cast<Uint32>(seconds) * 1000);
    Mix_HaltChannel(-1);
    Mix_FreeChunk(chunk);
    Mix_CloseAudio();
    SDL_Quit();
    return 0;
#else
    (void)seconds, (void)tone, (void)blockFrames;
    return 3;
#endif
}

// --- the driver ---

pid_t Start(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

// `command` through the shell, in a process group of its own.
pid_t StartLoad(const std::string& command) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
}

// A loop that only burns its core, at the default priority.
pid_t BusyLoop() {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::atomic<unsigned long> spin{0};
    for (;;) spin.fetch_add(1, std::memory_order_relaxed);
}

// The machine's own stalls while a run plays: a thread at the highest
// real-time priority wakes every millisecond and notes how late it was. On
// a virtual machine whose host takes its processors away now and then, no
// program inside can keep its sound from running dry longer than it holds.
class StallWatch {
public:
    StallWatch()
        : thread_([this] {
              sched_param param{};
              param.sched_priority = sched_get_priority_max(SCHED_FIFO);
              ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
              timespec due{};
              ::clock_gettime(CLOCK_MONOTONIC, &due);
              while (!stop_) {
                  due.tv_nsec += 1'000'000;
                  if (due.tv_nsec >= 1'000'000'000) {
                      due.tv_nsec -= 1'000'000'000;
                      ++due.tv_sec;
                  }
                  ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
                  timespec now{};
                  ::clock_gettime(CLOCK_MONOTONIC, &now);
                  const double lateMs = (now.tv_sec - due.tv_sec) * 1e3 + (now.tv_nsec - due.tv_nsec) / 1e6;
                  longestMs_ = std::max(longestMs_.load(), lateMs);
                  if (lateMs >= 2) ++over2Ms_;
                  // After a stall the next wake is due from now, not in a rush.
                  if (lateMs > 1) due = now;
              }
          }) {}
    ~StallWatch() {
        stop_ = true;
        thread_.join();
    }
    double LongestMs() const { return longestMs_; }
    int Over2Ms() const { return over2Ms_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<double> longestMs_{0};
    std::atomic<int> over2Ms_{0};
    std::thread thread_;
};

struct Run {
    const char* player;  // as --play takes it
    const char* shown;
};

struct Figures {
    Gaps gaps;
    int gapsInCapture = 0;
    double medianLatencyMs = -1;
    double worstLatencyMs = -1;
    double longestStallMs = 0;
    int stalls = 0;  // of 2 ms or more
    bool ok = false;
};

Figures Measure(PulseServer& server, const std::string& self, const Run& run, int seconds, const std::string& tone,
                const fs::path& scratch) {
    Figures figures;
    const std::size_t from = server.RecordedFrames();
    const std::string capture = (scratch / (std::string(run.player) + ".capture.wav")).string();
    auto env = server.ClientEnvironment();
    env.emplace_back("SDL_AUDIODRIVER", "pulseaudio");
    env.emplace_back("BARNBLAST_CAPTURE", capture);
    StallWatch stalls;
    const pid_t player = Start({self, "--play", run.player, std::to_string(seconds), tone}, env);
    // The server's view of the stream, once a second while it plays.
    std::vector<double> latencies;
    int status = 0;
    while (::waitpid(player, &status, WNOHANG) == 0) {
        for (const auto& stream : server.PlayingStreams()) latencies.push_back(stream.latency.TotalUs() / 1000.0);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    figures.longestStallMs = stalls.LongestMs();
    figures.stalls = stalls.Over2Ms();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return figures;
    // What was played has reached the recorder once a quarter second of
    // silence follows it.
    server.WaitForFrames(server.RecordedFrames(), PulseServer::kRate / 4, std::chrono::seconds(10));
    figures.gaps = CountGaps(server.Recorded(from));
    if (std::string(run.player).rfind("service", 0) == 0) figures.gapsInCapture = CountGaps(ReadWav(capture)).count;
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        figures.medianLatencyMs = latencies[latencies.size() / 2];
        figures.worstLatencyMs = latencies.back();
    }
    figures.ok = true;
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--play") == 0) {
        const std::string player = argv[2];
        const int seconds = std::atoi(argv[3]);
        if (player == "service") return PlayService(seconds, argv[4], 0);
        if (player == "service240") return PlayService(seconds, argv[4], 240);
        if (player == "service960") return PlayService(seconds, argv[4], 960);
        if (player == "mixer480") return PlayMixer(seconds, argv[4], 480);
        if (player == "mixer2048") return PlayMixer(seconds, argv[4], 2048);
        return 2;
    }
    if (const std::string missing = testsupport::PulseServerMissing(); !missing.empty()) {
        std::printf("skipped: %s\n", missing.c_str());
        return 0;
    }
    std::vector<std::string> players, loadNames;
    int arg = 1;
    for (; arg + 1 < argc; arg += 2) {
        if (std::strcmp(argv[arg], "--players") == 0)
            players = SplitCommas(argv[arg + 1]);
        else if (std::strcmp(argv[arg], "--loads") == 0)
            loadNames = SplitCommas(argv[arg + 1]);
        else
            break;
    }
    const auto chosen = [](const std::vector<std::string>& list, const std::string& name) {
        return list.empty() || std::find(list.begin(), list.end(), name) != list.end();
    };
    const int seconds = argc > arg ? std::max(2, std::atoi(argv[arg])) : 20;
    const std::string self = fs::canonical("/proc/self/exe").string();

    PulseServer server;
    std::string error;
    if (!server.Start(error) || !server.StartRecording(error, true)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const fs::path scratch = server.Folder();
    const std::string tone = (scratch / "tone.wav").string();
    WriteTone(tone);

    const std::vector<Run> runs = {{"service", "service (480-frame blocks)"},
                                   {"service240", "service, 240-frame blocks"},
                                   {"service960", "service, 960-frame blocks"},
#ifdef BENCH_WITH_SDL_MIXER
                                   {"mixer480", "SDL_mixer, 480-frame blocks"},
                                   {"mixer2048", "SDL_mixer, 2048-frame blocks"}
#endif
    };
    std::string loadCommand;
    for (int i = arg + 1; i < argc; ++i) loadCommand += std::string(i > arg + 1 ? " " : "") + argv[i];
    std::printf("%d s of a continuous tone per run, through PulseAudio's null sink\n", seconds);
    if (!loadCommand.empty()) std::printf("load \"command\": %s, started afresh for each run\n", loadCommand.c_str());
    std::printf("%-9s %-30s %5s %12s %11s %14s %13s %14s %7s\n", "load", "player", "gaps", "longest ms", "in capture",
                "latency ms med", "latency ms max", "stall ms max", "stalls");
    std::fflush(stdout);
    struct Load {
        const char* name;
        int busyLoops;
        bool command;
    };
    std::vector<Load> loads = {{"quiet", 0, false}, {"busy", 2, false}};
    if (!loadCommand.empty()) loads.push_back({"command", 0, true});
    for (const Load& load : loads) {
        if (!chosen(loadNames, load.name)) continue;
        for (const Run& run : runs) {
            if (!chosen(players, run.player)) continue;
            std::vector<pid_t> loops;
            for (int i = 0; i < load.busyLoops; ++i) loops.push_back(BusyLoop());
            const pid_t command = load.command ? StartLoad(loadCommand) : -1;
            const Figures f = Measure(server, self, run, seconds, tone, scratch);
            for (const pid_t loop : loops) {
                ::kill(loop, SIGKILL);
                ::waitpid(loop, nullptr, 0);
            }
            if (command > 0) {
                ::kill(-command, SIGKILL);
                ::waitpid(command, nullptr, 0);
            }
            if (!f.ok) {
                std::printf("%-9s %-30s failed\n", load.name, run.shown);
                continue;
            }
            std::printf("%-9s %-30s %5d %12.2f %11d %14.2f %13.2f %14.2f %7d\n", load.name, run.shown, f.gaps.count,
                        f.gaps.longestMs, f.gapsInCapture, f.medianLatencyMs, f.worstLatencyMs, f.longestStallMs,
                        f.stalls);
            std::fflush(stdout);
        }
    }
    return 0;
}
