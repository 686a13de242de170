#include "Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace platform {
namespace {

FileKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::Regular;
    if (S_ISDIR(mode)) return FileKind::Folder;
    if (S_ISFIFO(mode)) return FileKind::Pipe;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::Device;
    if (S_ISSOCK(mode)) return FileKind::Socket;
    if (S_ISLNK(mode)) return FileKind::Link;
    return FileKind::Other;
}

FileFacts FactsOf(const struct stat& st) {
    FileFacts facts;
    facts.kind = KindOf(st.st_mode);
    facts.size = st.st_size;
    facts.version = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), st.st_size,
                     static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                     static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
    return facts;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The start of a regular file up to `limit` bytes; up to its first line
// end only when `firstLine`.
std::string ReadText(const std::string& path, std::size_t limit, bool firstLine) {
    // Looked at before opening, since opening a pipe waits for a writer; and
    // opened without waiting, in case it was swapped for one in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[4096];
        while (text.size() < limit) {
            const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
            if (firstLine && text.find('\n', text.size() - static_cast<std::size_t>(n)) != std::string::npos) break;
        }
    }
    ::close(fd);
    return text;
}

}  // namespace

std::filesystem::path PathFromUtf8(const std::string& text) { return text; }

std::string Utf8Of(const std::filesystem::path& path) { return path.string(); }

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path.front() == '/'; }

std::optional<FileFacts> LookAt(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FactsOf(st);
}

int OpenToRead(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }

std::optional<FileFacts> LookAtOpen(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return FactsOf(st);
}

void MakeBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

std::size_t ReadAt(int fd, unsigned char* data, std::size_t size, std::int64_t offset) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n =
            ::pread(fd, data + got, size - got, static_cast<off_t>(offset + static_cast<std::int64_t>(got)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

void CloseFile(int fd) { ::close(fd); }

std::string FindIgnoringCase(const std::string& dir, const std::string& name) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return {};
    std::string found;
    while (dirent* e = ::readdir(d)) {
        if (::strcasecmp(e->d_name, name.c_str()) == 0) {
            found = e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

bool CreateFoldersDurably(const std::filesystem::path& dir, std::string& error) {
    std::filesystem::path target = dir.lexically_normal();
    if (!target.has_filename()) target = target.parent_path();  // a trailing slash
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path p = target; !p.empty(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) break;
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        // The outbox itself is private to the user; folders above it are not ours to restrict.
        const mode_t mode = *it == target ? 0700 : 0777;
        if (::mkdir(it->c_str(), mode) != 0) {
            if (errno == EEXIST) continue;  // made by another process meanwhile
            error = "cannot create " + it->string() + ": " + std::strerror(errno);
            return false;
        }
        if (*it == target) ::chmod(it->c_str(), 0700);  // whatever the umask
        FlushFolder(*it);
        FlushFolder(it->has_parent_path() ? it->parent_path() : ".");
    }
    struct stat st {};
    const int err = ::stat(target.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (err != 0) {
        error = "cannot use " + target.string() + ": " + std::strerror(err);
        return false;
    }
    return true;
}

bool WriteFileDurably(const std::filesystem::path& temporary, const std::filesystem::path& final, std::string_view data,
                      std::string& error) {
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + temporary.string() + ": " + std::strerror(errno);
        return false;
    }
    const bool written = WriteAll(fd, data) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), final.c_str()) != 0) {
        error = "cannot write " + final.string() + ": " + std::strerror(written ? errno : writeErrno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool FlushFolder(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

LockedFile LockEntry(const std::filesystem::path& path) {
    // Only a regular file is read, and never through a symbolic link, so a
    // pipe cannot hold the sender in open and nothing outside the folder is
    // sent. Looked at before opening (opening a device can do things), and
    // again after, in case it was swapped in between.
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return kNoFile;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return kNoFile;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return kNoFile;
    }
    // The holder before us may have sent and deleted it while we waited to
    // open; then our descriptor points at a file no longer in the outbox.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ::lstat(path.c_str(), &named) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
        ::close(fd);
        return kNoFile;
    }
    return fd;
}

std::optional<std::string> ReadLocked(LockedFile file, std::size_t limit) {
    const int fd = static_cast<int>(file);
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > limit) return std::nullopt;
    }
}

void Unlock(LockedFile file) {
    if (file != kNoFile) ::close(static_cast<int>(file));  // releases the flock
}

std::string ReadTextFileStart(const std::string& path, std::size_t limit) { return ReadText(path, limit, true); }

std::string ReadTextFile(const std::string& path, std::size_t limit) { return ReadText(path, limit, false); }

bool ReplaceTextFile(const std::string& path, std::string_view text) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
    std::random_device random;
    const std::string temporary = path + ".tmp" + std::to_string(random());
    // A new file only: an existing one under that name (even a pipe) is
    // never opened.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    std::string_view rest = text;
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

bool RenameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

void RemoveFile(const std::filesystem::path& path) { ::unlink(path.c_str()); }

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace platform
