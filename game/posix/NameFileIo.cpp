// Reading and keeping the name file with POSIX calls.
#include "NameFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>

std::string ReadNameFile(const std::string& path) {
    // Looked at before opening, since opening a pipe waits for a writer; and
    // opened without waiting, in case it was swapped for one in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[4096];
        while (text.size() < kMaxNameFileBytes) {
            const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, kMaxNameFileBytes - text.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.find('\n', text.size() - static_cast<std::size_t>(n)) != std::string::npos) break;
        }
    }
    ::close(fd);
    return NameFromText(text);
}

bool StoreNameFile(const std::string& path, const std::string& name) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
    std::random_device random;
    const std::string temporary = path + ".tmp" + std::to_string(random());
    // A new file only: an existing one under that name (even a pipe) is
    // never opened.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    std::string_view rest = name;
    bool written = true;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            written = false;
            break;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    written = ::close(fd) == 0 && written;
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
