#include "delivery/Outbox.h"

#include "Environment.h"
#include "Files.h"
#include "Folders.h"
#include "SafeText.h"
#include "ScoreJson.h"
#include "common/Log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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

}  // namespace

std::filesystem::path OutboxDir() {
    if (const std::string chosen = platform::EnvText("BARNBLAST_OUTBOX"); !chosen.empty())
        return platform::PathFromUtf8(chosen);
    return platform::DefaultOutboxFolder();
}

std::string EncodeRecord(const OutboxRecord& record) {
    std::string text(kMagic);
    text += "url " + record.url + "\n";
    text += "body " + record.body + "\n";
    text += "crc32 " + Hex32(Crc32(text)) + "\n";
    return text;
}

std::optional<DecodedRecord> DecodeRecord(std::string_view text) {
    const std::string_view whole = text;
    if (!text.starts_with(kMagic)) return std::nullopt;
    text.remove_prefix(kMagic.size());
    const auto url = TakeLine(text, "url");
    if (!url) return std::nullopt;
    const auto body = TakeLine(text, "body");
    if (!body) return std::nullopt;
    const std::string_view covered = whole.substr(0, whole.size() - text.size());
    const auto crc = TakeLine(text, "crc32");
    if (!crc || !text.empty() || *crc != Hex32(Crc32(covered))) return std::nullopt;
    if (url->empty()) return std::nullopt;
    auto score = score_protocol::ReadScoreRequest(*body);
    if (!score) return std::nullopt;
    DecodedRecord record;
    record.url = *url;
    record.body = *body;
    record.score = std::move(*score);
    return record;
}

Outbox::Outbox(std::filesystem::path dir) : dir_(std::move(dir)) {}

bool Outbox::Add(std::string_view id, const OutboxRecord& record, std::string& error) {
    if (!platform::CreateFoldersDurably(dir_, error)) return false;
    // The name sorts by time of posting, so older scores go first.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    char stamp[17];
    std::snprintf(stamp, sizeof stamp, "%016llx",
                  static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
    const std::string name = std::string(stamp) + "-" + std::string(id) + std::string(kSuffix);
    const std::filesystem::path temp = dir_ / (std::string(kTempPrefix) + std::string(id));
    const std::filesystem::path final = dir_ / name;

    if (!platform::WriteFileDurably(temp, final, EncodeRecord(record), error)) return false;
    // The whole entry is in place under its name and will be sent; only a
    // crash in the next moments could still lose the rename.
    if (!platform::FlushFolder(dir_)) {
        Say("scores: score stored in %s, but the folder could not be flushed to disk: %s\n",
            score_protocol::LogSafe(platform::Utf8Of(final), 4096).c_str(), platform::ErrorText(errno).c_str());
    }
    return true;
}

std::vector<std::string> Outbox::List() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = platform::Utf8Of(it->path().filename());
        if (!IsEntryName(name)) continue;
        // A symbolic link, pipe or device is no entry of ours (see SweepTemporaries).
        std::error_code typeEc;
        if (!it->is_symlink(typeEc) && it->is_regular_file(typeEc)) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

Outbox::Claim::Claim(platform::LockedFile file, std::string name, DecodedRecord record)
    : file_(file), name_(std::move(name)), record_(std::move(record)) {}

Outbox::Claim::Claim(Claim&& other) noexcept
    : file_(std::exchange(other.file_, platform::kNoFile)),
      name_(std::move(other.name_)),
      record_(std::move(other.record_)) {}

Outbox::Claim::~Claim() { platform::Unlock(file_); }

std::optional<Outbox::Claim> Outbox::TryClaim(const std::string& file) {
    const std::filesystem::path path = dir_ / file;
    Claim claim(platform::LockEntry(path), file, {});
    if (claim.file_ == platform::kNoFile) return std::nullopt;
    const auto text = platform::ReadLocked(claim.file_, kMaxEntryBytes);
    auto record = text ? DecodeRecord(*text) : std::nullopt;
    if (!record) {
        const std::filesystem::path aside = dir_ / (file + ".bad");
        platform::RenameFile(path, aside);
        platform::FlushFolder(dir_);
        Say("scores: damaged score entry %s set aside, not sent\n",
            score_protocol::LogSafe(platform::Utf8Of(aside), 4096).c_str());
        return std::nullopt;
    }
    claim.record_ = std::move(*record);
    return claim;
}

void Outbox::Remove(const Claim& claim) {
    platform::RemoveFile(dir_ / claim.File());
    platform::FlushFolder(dir_);
}

void Outbox::SweepTemporaries() {
    std::error_code ec;
    const auto cutoff = std::filesystem::file_time_type::clock::now() - kStaleTemporary;
    for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = platform::Utf8Of(it->path().filename());
        if (IsEntryName(name)) {
            std::error_code typeEc;
            const auto type = it->symlink_status(typeEc).type();
            if (!typeEc && type != std::filesystem::file_type::regular) {
                Say("scores: %s in the outbox is %s, not a score entry; it is left alone\n",
                    score_protocol::LogSafe(platform::Utf8Of(it->path()), 4096).c_str(), Describe(type));
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
