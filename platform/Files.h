// Files as the game and the service use them, each call with a POSIX and a
// Windows version (posix/Files.cpp, windows/Files.cpp): file facts and reads
// for the decoder, durable writes and locks for the outbox, the small text
// file that keeps the player's name, and the system's words for a failure.
//
// Text handed in and out is UTF-8 on every system; on Windows each call
// goes through the wide-character API, so any name the player's files have
// can be used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// What identifies one version of a file on disk: a file rewritten in place
// or replaced by another changes at least one of these.
struct FileVersion {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    bool operator==(const FileVersion&) const = default;
};

enum class FileKind { Regular, Folder, Pipe, Device, Socket, Link, Other };

struct FileFacts {
    FileKind kind = FileKind::Other;
    std::int64_t size = 0;
    FileVersion version;
};

// UTF-8 text to a path and back.
std::filesystem::path PathFromUtf8(const std::string& text);
std::string Utf8Of(const std::filesystem::path& path);

// Whether `path` names a file from the root of a drive or the file system.
bool IsAbsolutePath(const std::string& path);

// What `path` names, following links. nullopt, with errno set, when it
// cannot be looked at.
std::optional<FileFacts> LookAt(const std::string& path);

// Opens a file for reading without waiting on a pipe or a device's
// readiness: a C runtime descriptor, or -1 with errno set.
int OpenToRead(const std::string& path);
// What an open descriptor reads from; nullopt with errno set on a fault.
std::optional<FileFacts> LookAtOpen(int fd);
// Reads from `fd` wait for data again, once it is known to be a file.
void MakeBlocking(int fd);
// Up to `size` bytes at `offset`; fewer only at the end of the file. Does
// not move the descriptor's position.
std::size_t ReadAt(int fd, unsigned char* data, std::size_t size, std::int64_t offset);
void CloseFile(int fd);

// The entry of the folder `dir` ("" for the working folder) whose name
// matches `name` ignoring case, or "".
std::string FindIgnoringCase(const std::string& dir, const std::string& name);

// Creates `dir` and any missing folders above it, flushing each new folder
// and the folder holding it where the system allows, so that no level of
// the path can vanish in a crash once an entry has been written inside.
// The last folder is private to the user.
bool CreateFoldersDurably(const std::filesystem::path& dir, std::string& error);

// Writes `data` to `temporary`, a new file (never an existing one, nor
// through a link), flushes it to disk and moves it over `final` in one
// step. On failure nothing is left under either name and `error` says why.
bool WriteFileDurably(const std::filesystem::path& temporary, const std::filesystem::path& final, std::string_view data,
                      std::string& error);

// Flushes a folder's entries (renames and deletions) to disk. False, with
// errno set, when that failed; always true where the system flushes them
// with the rename itself (Windows, MOVEFILE_WRITE_THROUGH).
bool FlushFolder(const std::filesystem::path& dir);

// An open file under an exclusive lock that dies with the process:
// flock on POSIX, LockFileEx on Windows. kNoFile when none.
using LockedFile = std::intptr_t;
inline constexpr LockedFile kNoFile = -1;

// Opens and locks the regular file at `path`, never through a link and
// never blocking on a pipe or device. kNoFile when it is not a regular file,
// another process holds its lock, or it is no longer the file under that
// name once the lock is had (the holder before us deleted or moved it).
LockedFile LockEntry(const std::filesystem::path& path);
// The locked file's contents; nullopt on a fault or when over `limit`.
std::optional<std::string> ReadLocked(LockedFile file, std::size_t limit);
// Closes the file, which releases its lock.
void Unlock(LockedFile file);

// The start of the regular file at `path`: at most `limit` bytes, ending
// with the first line end read. "" when the file is missing, unreadable or
// not a regular file (a pipe, a device, a folder); never blocks, since
// nothing but a regular file is read.
std::string ReadTextFileStart(const std::string& path, std::size_t limit);
// The regular file at `path`, or its first `limit` bytes when longer; "" as
// for ReadTextFileStart, and likewise never blocks.
std::string ReadTextFile(const std::string& path, std::size_t limit);

// Replaces the file at `path` with `text` in one step, so it never exists
// half-written or empty. Leaves alone anything at `path` that is not a
// regular file (a link is replaced, never followed). False when not kept.
bool ReplaceTextFile(const std::string& path, std::string_view text);

// Renames or deletes an entry; a file still open and locked by us may be.
bool RenameFile(const std::filesystem::path& from, const std::filesystem::path& to);
void RemoveFile(const std::filesystem::path& path);

// The system's message for an errno value, such as the calls above set.
std::string ErrorText(int error);

}  // namespace platform
