#include "Outbox.h"

#include "SafeText.h"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Corvane::detail {

namespace {

constexpr std::string_view kMagic = "barnblast-score 1\n";
constexpr std::string_view kSuffix = ".score";
constexpr std::string_view kTempPrefix = ".tmp-";
constexpr std::size_t kMaxEntryBytes = 64 * 1024;  // far above any real score
// A writer takes well under a second from creating its temporary file to the
// rename; anything this old belongs to a process that died.
constexpr auto kStaleTemporary = std::chrono::hours(1);

std::uint32_t Crc32(std::string_view data) {
    static const std::array<std::uint32_t, 256> kTable = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : data) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string Hex32(std::uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

// Takes "<key> <value>\n" off the front of `text`.
std::optional<std::string_view> TakeLine(std::string_view& text, std::string_view key) {
    if (!text.starts_with(key) || text.size() <= key.size() || text[key.size()] != ' ') return std::nullopt;
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view value = text.substr(key.size() + 1, end - key.size() - 1);
    text.remove_prefix(end + 1);
    return value;
}

bool IsScoreBody(std::string_view body) {
    boost::system::error_code ec;
    const boost::json::value v = boost::json::parse(body, ec);
    if (ec || !v.is_object()) return false;
    const auto& o = v.get_object();
    const auto str = [&](const char* k) { return o.contains(k) && o.at(k).is_string(); };
    return str("game") && str("name") && str("id") && o.contains("score") && o.at("score").is_int64();
}

bool SyncDir(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Creates `dir` and any missing folders above it, flushing each new folder
// and the folder holding it, so that no level of the path can vanish in a
// crash once an entry has been written inside.
bool CreateFolders(const std::filesystem::path& dir, std::string& error) {
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
        SyncDir(*it);
        SyncDir(it->has_parent_path() ? it->parent_path() : ".");
    }
    struct stat st {};
    const int err = ::stat(target.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (err != 0) {
        error = "cannot use " + target.string() + ": " + std::strerror(err);
        return false;
    }
    return true;
}

bool IsEntryName(std::string_view name) { return name.ends_with(kSuffix) && !name.starts_with('.'); }

const char* Describe(std::filesystem::file_type type) {
    switch (type) {
        case std::filesystem::file_type::symlink: return "a symbolic link";
        case std::filesystem::file_type::directory: return "a folder";
        case std::filesystem::file_type::fifo: return "a named pipe (FIFO)";
        case std::filesystem::file_type::block:
        case std::filesystem::file_type::character: return "a device";
        case std::filesystem::file_type::socket: return "a socket";
        default: return "not a regular file";
    }
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

std::optional<std::string> ReadAll(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > kMaxEntryBytes) return std::nullopt;
    }
}

}  // namespace

std::filesystem::path OutboxDir() {
    if (const char* v = std::getenv("BARNBLAST_OUTBOX"); v && *v) return v;
    if (const char* v = std::getenv("XDG_STATE_HOME"); v && *v == '/') {
        return std::filesystem::path(v) / "barnblast" / "outbox";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".local" / "state" / "barnblast" / "outbox";
}

std::string EncodeRecord(const OutboxRecord& record) {
    std::string text(kMagic);
    text += "url " + record.url + "\n";
    text += "body " + record.body + "\n";
    text += "crc32 " + Hex32(Crc32(text)) + "\n";
    return text;
}

std::optional<OutboxRecord> DecodeRecord(std::string_view text) {
    const std::string_view whole = text;
    if (!text.starts_with(kMagic)) return std::nullopt;
    text.remove_prefix(kMagic.size());
    OutboxRecord record;
    const auto url = TakeLine(text, "url");
    if (!url) return std::nullopt;
    const auto body = TakeLine(text, "body");
    if (!body) return std::nullopt;
    const std::string_view covered = whole.substr(0, whole.size() - text.size());
    const auto crc = TakeLine(text, "crc32");
    if (!crc || !text.empty() || *crc != Hex32(Crc32(covered))) return std::nullopt;
    if (url->empty() || !IsScoreBody(*body)) return std::nullopt;
    record.url = *url;
    record.body = *body;
    return record;
}

Outbox::Outbox(std::filesystem::path dir) : dir_(std::move(dir)) {}

bool Outbox::Add(std::string_view id, const OutboxRecord& record, std::string& error) {
    if (!CreateFolders(dir_, error)) return false;
    // The name sorts by time of posting, so older scores go first.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    char stamp[17];
    std::snprintf(stamp, sizeof stamp, "%016llx",
                  static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
    const std::string name = std::string(stamp) + "-" + std::string(id) + std::string(kSuffix);
    const std::filesystem::path temp = dir_ / (std::string(kTempPrefix) + std::string(id));
    const std::filesystem::path final = dir_ / name;

    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + temp.string() + ": " + std::strerror(errno);
        return false;
    }
    const bool written = WriteAll(fd, EncodeRecord(record)) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ::close(fd);
    if (!written || ::rename(temp.c_str(), final.c_str()) != 0) {
        error = "cannot write " + final.string() + ": " + std::strerror(written ? errno : writeErrno);
        ::unlink(temp.c_str());
        return false;
    }
    // The whole entry is in place under its name and will be sent; only a
    // crash in the next moments could still lose the rename.
    if (!SyncDir(dir_)) {
        std::fprintf(stderr, "scores: score stored in %s, but the folder could not be flushed to disk: %s\n",
                     score_protocol::LogSafe(final.string(), 4096).c_str(), std::strerror(errno));
    }
    return true;
}

std::vector<std::string> Outbox::List() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!IsEntryName(name)) continue;
        // A symbolic link, pipe or device is no entry of ours (see SweepTemporaries).
        std::error_code typeEc;
        if (!it->is_symlink(typeEc) && it->is_regular_file(typeEc)) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

Outbox::Claim::Claim(int fd, std::string file, OutboxRecord record)
    : fd_(fd), file_(std::move(file)), record_(std::move(record)) {}

Outbox::Claim::Claim(Claim&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), file_(std::move(other.file_)), record_(std::move(other.record_)) {}

Outbox::Claim::~Claim() {
    if (fd_ >= 0) ::close(fd_);  // releases the flock
}

std::optional<Outbox::Claim> Outbox::TryClaim(const std::string& file) {
    const std::filesystem::path path = dir_ / file;
    // Only a regular file is read, and never through a symbolic link, so a
    // pipe cannot hold the sender in open and nothing outside the folder is
    // sent. Looked at before opening (opening a device can do things), and
    // again after, in case it was swapped in between.
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    Claim claim(fd, file, {});
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return std::nullopt;
    // The holder before us may have sent and deleted it while we waited to
    // open; then our descriptor points at a file no longer in the outbox.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ::lstat(path.c_str(), &named) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
        return std::nullopt;
    }
    const auto text = ReadAll(fd);
    auto record = text ? DecodeRecord(*text) : std::nullopt;
    if (!record) {
        const std::filesystem::path aside = dir_ / (file + ".bad");
        ::rename(path.c_str(), aside.c_str());
        SyncDir(dir_);
        std::fprintf(stderr, "scores: damaged score entry %s set aside, not sent\n",
                     score_protocol::LogSafe(aside.string(), 4096).c_str());
        return std::nullopt;
    }
    claim.record_ = std::move(*record);
    return claim;
}

void Outbox::Remove(const Claim& claim) {
    ::unlink((dir_ / claim.File()).c_str());
    SyncDir(dir_);
}

void Outbox::SweepTemporaries() {
    std::error_code ec;
    const auto cutoff = std::filesystem::file_time_type::clock::now() - kStaleTemporary;
    for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsEntryName(name)) {
            std::error_code typeEc;
            const auto type = it->symlink_status(typeEc).type();
            if (!typeEc && type != std::filesystem::file_type::regular) {
                std::fprintf(stderr, "scores: %s in the outbox is %s, not a score entry; it is left alone\n",
                             score_protocol::LogSafe(it->path().string(), 4096).c_str(), Describe(type));
            }
            continue;
        }
        if (!name.starts_with(kTempPrefix)) continue;
        std::error_code timeEc;
        const auto written = std::filesystem::last_write_time(it->path(), timeEc);
        if (!timeEc && written < cutoff) std::filesystem::remove(it->path(), timeEc);
    }
}

}  // namespace Corvane::detail
