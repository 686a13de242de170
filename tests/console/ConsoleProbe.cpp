// Runs a script of console calls given as its one argument and reports each
// result on standard output, one line each, so that the tests can drive the
// console layer through a real terminal or a pipe:
//   g  _getch            -> "K<value>"
//   l  ReadLine          -> "L:<line>" or "LEOF"
//   p  say "P", then pause 300 ms between two reads, as the game does after a hit
//   w  say "W", then wait for a signal
//   x  start a thread that calls exit(0) when SIGUSR1 arrives -> "X"
#include "Platform.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

void Say(const std::string& text) {
    const std::string out = text + "\n";
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = write(STDOUT_FILENO, out.data() + done, out.size() - done);
        if (n <= 0) {
            std::_Exit(3);
        }
        done += static_cast<std::size_t>(n);
    }
}

sigset_t UserSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    return set;
}

void ExitOnUserSignal(void*) {
    const sigset_t set = UserSignal();
    int sig = 0;
    sigwait(&set, &sig);
    std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    for (const char op : std::string(argv[1])) {
        switch (op) {
            case 'g': Say("K" + std::to_string(platform::_getch())); break;
            case 'l': {
                std::string line;
                Say(platform::ReadLine(line) ? "L:" + line : "LEOF");
                break;
            }
            case 'p':
                Say("P");
                platform::Sleep(300);
                break;
            case 'w':
                Say("W");
                for (;;) {
                    pause();
                }
            case 'x': {
                // Blocked before the thread starts, so only its sigwait takes it.
                const sigset_t set = UserSignal();
                pthread_sigmask(SIG_BLOCK, &set, nullptr);
                if (platform::_beginthread(ExitOnUserSignal, 0, nullptr) == -1) {
                    return 4;
                }
                Say("X");
                break;
            }
            default: return 2;
        }
    }
    return 0;
}
