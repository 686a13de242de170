// How many fdatasync calls a second the disk under a folder takes, each after
// a small append, as a commit makes: the bound a one-commit-per-post server
// cannot pass, and the figure the score table's post rate is compared with.
// Usage: scoreboard-sync-rate FOLDER [seconds]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [seconds]\n", argv[0]);
        return 2;
    }
    const std::string path = std::string(argv[1]) + "/sync-rate.tmp";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        return 1;
    }
    const char block[512] = {};
    long syncs = 0;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::duration<double> took{};
    while (took.count() < seconds) {
        if (::write(fd, block, sizeof block) != static_cast<ssize_t>(sizeof block) || ::fdatasync(fd) != 0) {
            std::perror("write or fdatasync");
            return 1;
        }
        ++syncs;
        took = std::chrono::steady_clock::now() - start;
    }
    ::close(fd);
    ::unlink(path.c_str());
    std::printf("fdatasync_per_s %.1f\n", static_cast<double>(syncs) / took.count());
    return 0;
}
