// The durable queue of scores not yet delivered: one file per score in one
// folder, shared by every game process of the user.
//
// An entry is written to a temporary name, flushed, renamed into place and
// the folder flushed, so a crash leaves either no entry or a whole one. Each
// entry also carries a checksum, so a damaged file is never read as a score.
// A sender claims an entry with an exclusive lock (flock; LockFileEx on
// Windows) before sending it, so two processes never send the same entry at
// once; the lock dies with its process.
#pragma once

#include "Files.h"
#include "ScoreJson.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Corvane::detail {

// Where the outbox lives: $BARNBLAST_OUTBOX, else
// $XDG_STATE_HOME/barnblast/outbox, else ~/.local/state/barnblast/outbox;
// on Windows %LOCALAPPDATA%\Barnblast\outbox.
std::filesystem::path OutboxDir();

// What one entry holds: the URL to post to and the JSON body, which carries
// the score's id, so every retry sends the very same bytes.
struct OutboxRecord {
    std::string url;
    std::string body;
};

// A record as read back, with its body's members read once for whoever
// sends it; the body's bytes are still what is sent.
struct DecodedRecord : OutboxRecord {
    score_protocol::ScoreRequest score;
};

// The file format:
//   barnblast-score 1\n
//   url <url>\n
//   body <JSON on one line>\n
//   crc32 <8 lower-case hex digits of the CRC-32 of the lines above>\n
std::string EncodeRecord(const OutboxRecord& record);
// nullopt unless the text is one whole, undamaged record whose body is a
// score request (score_protocol::ReadScoreRequest).
std::optional<DecodedRecord> DecodeRecord(std::string_view text);

class Outbox {
public:
    explicit Outbox(std::filesystem::path dir);

    const std::filesystem::path& Dir() const { return dir_; }

    // Stores one entry durably (file and folder flushed, and every folder it
    // had to create) before returning. On failure returns false and says why
    // in `error`. An entry renamed into place counts as stored even when the
    // folder's flush then fails; that is said on stderr.
    bool Add(std::string_view id, const OutboxRecord& record, std::string& error);

    // The file names of the entries, oldest first: regular files only, so a
    // pipe, device or symbolic link put there is never opened by a sender.
    std::vector<std::string> List() const;

    // An entry held under an exclusive lock; the lock is released when the
    // claim is destroyed.
    class Claim {
    public:
        Claim(Claim&& other) noexcept;
        Claim& operator=(Claim&&) = delete;
        ~Claim();

        const std::string& File() const { return name_; }
        const DecodedRecord& Record() const { return record_; }

    private:
        friend class Outbox;
        Claim(platform::LockedFile file, std::string name, DecodedRecord record);
        platform::LockedFile file_;
        std::string name_;
        DecodedRecord record_;
    };

    // Locks and reads an entry. nullopt when another process holds it, it is
    // already gone, it is not a regular file (never opened blocking, never
    // followed as a link), or it is damaged; a damaged entry is renamed to
    // "<name>.bad" (kept for a person to look at) with one line on stderr.
    std::optional<Claim> TryClaim(const std::string& file);

    // Deletes a claimed entry (while still locked, so no one else can claim it
    // in between) and flushes the folder.
    void Remove(const Claim& claim);

    // Deletes temporary files left by a process that died while writing;
    // only those old enough that no live writer can still own them. Says on
    // stderr, one line each, which entry names hold something other than a
    // regular file (a pipe, a device, a symbolic link): those are left alone.
    void SweepTemporaries();

private:
    std::filesystem::path dir_;
};

}  // namespace Corvane::detail
