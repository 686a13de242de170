#include "Files.h"
#include "windows/Utf16.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace platform {
namespace {

std::int64_t Join64(DWORD high, DWORD low) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

std::int64_t Nanoseconds(const FILETIME& time) { return Join64(time.dwHighDateTime, time.dwLowDateTime) * 100; }

// errno for the last Win32 error, for the messages the callers build.
int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_DIRECTORY: return ENOTDIR;
        default: return EIO;
    }
}

void SetErrnoFromLastError() { errno = ErrnoOf(GetLastError()); }

// The message the system has for the last Win32 error, as UTF-8.
std::string LastErrorText() {
    const DWORD error = GetLastError();
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 && text ? std::wstring(text, length) : L"error " + std::to_wstring(error);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.')) {
        message.pop_back();
    }
    return Utf8Of(message);
}

FileKind KindOfAttributes(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return FileKind::Device;
    return FileKind::Regular;
}

bool IsRegularHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) return false;
    return (info.dwFileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// The start of a regular file up to `limit` bytes; up to its first line
// end only when `firstLine`.
std::string ReadText(const std::string& path, std::size_t limit, bool firstLine) {
    const std::wstring name = Utf16Of(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string text;
    // Only a file on disk is read: never a pipe or a device opened by name.
    if (GetFileType(file) == FILE_TYPE_DISK) {
        char buffer[4096];
        while (text.size() < limit) {
            DWORD n = 0;
            const auto want = static_cast<DWORD>(std::min(sizeof buffer, limit - text.size()));
            if (!ReadFile(file, buffer, want, &n, nullptr) || n == 0) break;
            text.append(buffer, n);
            if (firstLine && text.find('\n', text.size() - n) != std::string::npos) break;
        }
    }
    CloseHandle(file);
    return text;
}

}  // namespace

std::filesystem::path PathFromUtf8(const std::string& text) { return std::filesystem::path(Utf16Of(text)); }

std::string Utf8Of(const std::filesystem::path& path) { return Utf8Of(path.wstring()); }

bool IsAbsolutePath(const std::string& path) {
    // C:\..., C:/..., \\server\share and \ or / from the drive's root.
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
        (path[2] == '\\' || path[2] == '/'))
        return true;
    return !path.empty() && (path.front() == '\\' || path.front() == '/');
}

std::optional<FileFacts> LookAt(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Utf16Of(path).c_str(), GetFileExInfoStandard, &data)) {
        SetErrnoFromLastError();
        return std::nullopt;
    }
    FileFacts facts;
    facts.kind = KindOfAttributes(data.dwFileAttributes);
    facts.size = Join64(data.nFileSizeHigh, data.nFileSizeLow);
    // No inode without opening the file; a file replaced by another has a
    // creation time of its own.
    facts.version = {0, 0, facts.size, Nanoseconds(data.ftLastWriteTime), Nanoseconds(data.ftCreationTime)};
    return facts;
}

int OpenToRead(const std::string& path) {
    // Shared for deleting and renaming, as files are on POSIX: a sound being
    // played never keeps the player from replacing it.
    const HANDLE file =
        CreateFileW(Utf16Of(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SetErrnoFromLastError();
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) CloseHandle(file);
    return fd;
}

std::optional<FileFacts> LookAtOpen(int fd) {
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION info{};
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return std::nullopt;
    }
    FileFacts facts;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        facts.kind = GetFileType(file) == FILE_TYPE_PIPE ? FileKind::Pipe : FileKind::Device;
        return facts;
    }
    if (!GetFileInformationByHandle(file, &info)) {
        SetErrnoFromLastError();
        return std::nullopt;
    }
    facts.kind = KindOfAttributes(info.dwFileAttributes);
    facts.size = Join64(info.nFileSizeHigh, info.nFileSizeLow);
    facts.version = {info.dwVolumeSerialNumber,
                     static_cast<std::uint64_t>(Join64(info.nFileIndexHigh, info.nFileIndexLow)), facts.size,
                     Nanoseconds(info.ftLastWriteTime), Nanoseconds(info.ftCreationTime)};
    return facts;
}

void MakeBlocking(int /*fd*/) {
    // Files are never opened non-blocking on Windows: only a disk file gets
    // this far.
}

std::size_t ReadAt(int fd, unsigned char* data, std::size_t size, std::int64_t offset) {
    // No pread in the runtime: the position is moved and put back.
    const std::int64_t was = _lseeki64(fd, 0, SEEK_CUR);
    std::size_t got = 0;
    if (was >= 0 && _lseeki64(fd, offset, SEEK_SET) == offset) {
        while (got < size) {
            const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(size - got, 1U << 30));
            const int n = _read(fd, data + got, chunk);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
    }
    if (was >= 0) _lseeki64(fd, was, SEEK_SET);
    return got;
}

void CloseFile(int fd) { _close(fd); }

std::string FindIgnoringCase(const std::string& dir, const std::string& name) {
    // NTFS already matches names ignoring case; this is for the rest.
    std::error_code error;
    const std::wstring wanted = Utf16Of(name);
    for (std::filesystem::directory_iterator it(dir.empty() ? std::filesystem::path(L".") : PathFromUtf8(dir), error),
         end;
         !error && it != end; it.increment(error)) {
        const std::wstring entry = it->path().filename().wstring();
        if (entry.size() == wanted.size() &&
            CompareStringOrdinal(entry.data(), static_cast<int>(entry.size()), wanted.data(),
                                 static_cast<int>(wanted.size()), TRUE) == CSTR_EQUAL) {
            return Utf8Of(entry);
        }
    }
    return {};
}

bool CreateFoldersDurably(const std::filesystem::path& dir, std::string& error) {
    // NTFS keeps a new folder's entry in its journal; there is no flush of a
    // folder to make.
    std::filesystem::path target = dir.lexically_normal();
    if (!target.has_filename()) target = target.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(target, ec);
    if (ec || !std::filesystem::is_directory(target, ec)) {
        error = "cannot create " + Utf8Of(target) + ": " + (ec ? ec.message() : std::string("not a folder"));
        return false;
    }
    return true;
}

bool WriteFileDurably(const std::filesystem::path& temporary, const std::filesystem::path& final, std::string_view data,
                      std::string& error) {
    // CREATE_NEW: a new file only, never one (nor a link) already there.
    const HANDLE file =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot create " + Utf8Of(temporary) + ": " + LastErrorText();
        return false;
    }
    bool written = true;
    while (written && !data.empty()) {
        DWORD n = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1U << 30));
        written = WriteFile(file, data.data(), chunk, &n, nullptr) && n > 0;
        data.remove_prefix(n);
    }
    written = written && FlushFileBuffers(file);
    std::string reason = written ? std::string() : LastErrorText();
    CloseHandle(file);
    // One step, and through to the disk before it returns.
    if (written && !MoveFileExW(temporary.c_str(), final.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        written = false;
        reason = LastErrorText();
    }
    if (!written) {
        error = "cannot write " + Utf8Of(final) + ": " + reason;
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

bool FlushFolder(const std::filesystem::path& /*dir*/) { return true; }

LockedFile LockEntry(const std::filesystem::path& path) {
    // Never through a link or junction: the link itself is opened and then
    // refused. Shared for deleting and renaming, so that the holder can
    // remove or set aside the entry while it has it open.
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return kNoFile;
    BY_HANDLE_FILE_INFORMATION opened{};
    OVERLAPPED whole{};
    if (!IsRegularHandle(file, opened) ||
        !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
        CloseHandle(file);
        return kNoFile;
    }
    // The holder before us may have sent and deleted it, or set it aside,
    // while we waited: then the name no longer leads to the file we hold.
    FILE_STANDARD_INFO standard{};
    const HANDLE named = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION now{};
    const bool same = named != INVALID_HANDLE_VALUE && GetFileInformationByHandle(named, &now) &&
                      now.dwVolumeSerialNumber == opened.dwVolumeSerialNumber &&
                      now.nFileIndexHigh == opened.nFileIndexHigh && now.nFileIndexLow == opened.nFileIndexLow &&
                      GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
                      !standard.DeletePending;
    if (named != INVALID_HANDLE_VALUE) CloseHandle(named);
    if (!same) {
        CloseHandle(file);
        return kNoFile;
    }
    return reinterpret_cast<LockedFile>(file);
}

std::optional<std::string> ReadLocked(LockedFile file, std::size_t limit) {
    const auto handle = reinterpret_cast<HANDLE>(file);
    std::string out;
    char buf[4096];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(handle, buf, sizeof buf, &n, nullptr)) return std::nullopt;
        if (n == 0) return out;
        out.append(buf, n);
        if (out.size() > limit) return std::nullopt;
    }
}

void Unlock(LockedFile file) {
    // Closing the handle releases its lock.
    if (file != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

std::string ReadTextFileStart(const std::string& path, std::size_t limit) { return ReadText(path, limit, true); }

std::string ReadTextFile(const std::string& path, std::size_t limit) { return ReadText(path, limit, false); }

bool ReplaceTextFile(const std::string& path, std::string_view text) {
    const std::wstring target = Utf16Of(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    std::random_device random;
    const std::wstring temporary = target + L".tmp" + std::to_wstring(random());
    // A new file only: an existing one under that name is never opened.
    const HANDLE file =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool written = true;
    std::string_view rest = text;
    while (written && !rest.empty()) {
        DWORD n = 0;
        written = WriteFile(file, rest.data(), static_cast<DWORD>(rest.size()), &n, nullptr) && n > 0;
        rest.remove_prefix(n);
    }
    written = CloseHandle(file) && written;
    // One step: a link at `path` is replaced, never followed.
    if (!written || !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

bool RenameFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void RemoveFile(const std::filesystem::path& path) { DeleteFileW(path.c_str()); }

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace platform
