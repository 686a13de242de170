// What the file readers behind Decoder.h share: the descriptor they read,
// the limits they check and the reasons they give.
#pragma once

#include "decoding/Decoder.h"

#include "Files.h"

#include <memory>
#include <string>
#include <utility>

namespace Corvane::detail {

inline constexpr int kMinRate = 8000;
inline constexpr int kMaxRate = 192000;
inline constexpr const char* kNotAudio = "is not a WAV or MP3 file";

// An open file the reader owns; closed with it.
struct FileDescriptor {
    int fd = -1;
    FileDescriptor() = default;
    FileDescriptor(FileDescriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd >= 0) platform::CloseFile(fd);
    }
};

// An MP3 file through libmpg123, from the start of `file`.
std::unique_ptr<SoundReader> OpenMp3(FileDescriptor file, long long fileSize, std::string& error);

}  // namespace Corvane::detail
