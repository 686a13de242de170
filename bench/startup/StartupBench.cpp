// How soon the game is heard and how much memory a round takes, beside
// peers measured in the same run, in turns:
// - exec to the first block with sound and with the cluck in it, from the
//   game itself (StartupProbe, the real game with an observer on its output);
// - exec to exit of sox's `play` and of `aplay`, each playing 1 ms to ALSA's
//   null device: an upper bound on the time to their first write;
// - peak RSS of four seconds of a round, with the real music and with an
//   hour-long one, beside SDL_mixer playing the same scene (MixerPeer).
// Arguments: probe, mixer peer, repository root, turns (default 7).
#include "TempFolder.h"
#include "WavFile.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Run {
    std::map<std::string, double> reported;  // ms after exec
    double exitMs = 0;
    long maxRssKb = 0;
};

// Runs argv in `dir` with `env` added; stdin is a pipe that stays open and
// silent. With `killAfterMs` > 0 the program is killed then.
Run Spawn(const std::vector<std::string>& argv, const fs::path& dir, const std::vector<std::string>& env,
          int killAfterMs) {
    int report[2], input[2];
    if (::pipe(report) != 0 || ::pipe(input) != 0) std::exit(1);
    const long long start = NowNs();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(input[0], 0);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::close(report[0]);
        ::chdir(dir.c_str());
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        const std::string execAt = "BENCH_EXEC_NS=" + std::to_string(NowNs());
        const std::string reportTo = "BENCH_REPORT_FD=" + std::to_string(report[1]);
        ::putenv(const_cast<char*>(execAt.c_str()));
        ::putenv(const_cast<char*>(reportTo.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(report[1]);
    ::close(input[0]);
    Run run;
    std::string text;
    const long long deadline = start + static_cast<long long>(killAfterMs > 0 ? killAfterMs : 10000) * 1000000;
    for (;;) {
        const long long left = (deadline - NowNs()) / 1000000;
        if (left <= 0) break;
        pollfd fd{report[0], POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left)) <= 0) break;
        char buf[256];
        const ssize_t n = ::read(report[0], buf, sizeof buf);
        if (n <= 0) break;  // the program has ended
        text.append(buf, static_cast<std::size_t>(n));
    }
    if (killAfterMs > 0) ::kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.exitMs = double(NowNs() - start) / 1e6;
    run.maxRssKb = usage.ru_maxrss;
    ::close(report[0]);
    ::close(input[1]);
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        const std::size_t space = line.find(' ');
        if (space != std::string::npos) run.reported[line.substr(0, space)] = std::atof(line.c_str() + space + 1);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return run;
}

// A WAV of `frames` frames at 44.1 kHz stereo 16-bit, silent past the first
// second.
testsupport::ToneWav Wav(std::uint32_t frames) {
    return {.rate = 44100, .channels = 2, .frames = frames, .period = 100, .amplitude = 3000};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PROBE MIXER_PEER REPO_ROOT [TURNS]\n", argv[0]);
        return 2;
    }
    const std::string probe = fs::absolute(argv[1]), peer = fs::absolute(argv[2]);
    const fs::path repo = fs::absolute(argv[3]);
    const int turns = argc > 4 ? std::atoi(argv[4]) : 7;

    const testsupport::TempFolder work("barnblast-startup");
    fs::create_directories(work / "game");
    fs::create_directories(work / "long" / "Media");
    fs::create_directory_symlink(repo / "Media", work / "game" / "Media");
    for (const auto& entry : fs::directory_iterator(repo / "Media")) {
        if (entry.path().filename() != "Background.mp3")
            fs::create_symlink(entry.path(), work / "long" / "Media" / entry.path().filename());
    }
    // The game takes files by their content: an hour of WAV under the
    // music's name.
    testsupport::WriteToneWav(work / "long" / "Media" / "Background.mp3", Wav(3600u * 44100));
    testsupport::WriteToneWav(work / "blip.wav", Wav(44));

    const std::vector<std::string> gameEnv = {"SDL_AUDIODRIVER=dummy", "BARNBLAST_OUTBOX=" + (work / "outbox").string(),
                                              "BARNBLAST_SCORE_SITE=127.0.0.1:9"};
    std::vector<double> mainAt, sound, cluck, play, aplay, rssGame, rssLong, rssPeer;
    for (int turn = 0; turn < turns; ++turn) {
        const Run game = Spawn({probe}, work / "game", gameEnv, 4000);
        if (game.reported.count("cluck")) cluck.push_back(game.reported.at("cluck"));
        if (game.reported.count("sound")) sound.push_back(game.reported.at("sound"));
        if (game.reported.count("main")) mainAt.push_back(game.reported.at("main"));
        rssGame.push_back(game.maxRssKb / 1024.0);
        const Run longMusic = Spawn({probe}, work / "long", gameEnv, 4000);
        rssLong.push_back(longMusic.maxRssKb / 1024.0);
        play.push_back(Spawn({"/usr/bin/play", "-q", (work / "blip.wav").string()}, work.path(),
                             {"AUDIODRIVER=alsa", "AUDIODEV=null"}, 0)
                           .exitMs);
        aplay.push_back(
            Spawn({"/usr/bin/aplay", "-q", "-D", "null", (work / "blip.wav").string()}, work.path(), {}, 0).exitMs);
        rssPeer.push_back(
            Spawn({peer, (repo / "Media").string(), "4"}, work.path(), {"SDL_AUDIODRIVER=dummy"}, 0).maxRssKb / 1024.0);
    }

    std::printf("Start-up, medians of %d turns:\n", turns);
    std::printf("  game: exec to main (loading, linking)  %7.1f ms\n", Median(mainAt));
    std::printf("  game: exec to first block with sound   %7.1f ms\n", Median(sound));
    std::printf("  game: exec to first block with cluck   %7.1f ms\n", Median(cluck));
    std::printf("  play (sox): exec to exit, 1 ms to null %7.1f ms\n", Median(play));
    std::printf("  aplay: exec to exit, 1 ms to null      %7.1f ms\n", Median(aplay));
    std::printf("  first cluck / play: %.2f, / aplay: %.2f\n", Median(cluck) / Median(play),
                Median(cluck) / Median(aplay));
    std::printf("Peak RSS of 4 s of a round, medians:\n");
    std::printf("  game, the 32 s music                   %7.1f MB\n", Median(rssGame));
    std::printf("  game, an hour-long music file          %7.1f MB\n", Median(rssLong));
    std::printf("  SDL_mixer, the same scene              %7.1f MB\n", Median(rssPeer));
    std::printf("  game / SDL_mixer: %.2f\n", Median(rssGame) / Median(rssPeer));
    return 0;
}
