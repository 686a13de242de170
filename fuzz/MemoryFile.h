// A file in memory with a path the code under test can open like any other:
// /proc/self/fd/<n> of a memfd, a regular file that never touches the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

class MemoryFile {
public:
    MemoryFile() : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
        if (fd_ < 0) std::abort();
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { ::close(fd_); }

    // Makes the file hold exactly these bytes; returns its path.
    const std::string& Hold(const std::uint8_t* data, std::size_t size) {
        if (::ftruncate(fd_, 0) != 0) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        return path_;
    }

    int Descriptor() const { return fd_; }

    // What the file holds now, however it got there.
    std::string Contents() const {
        std::string bytes;
        char block[4096];
        ssize_t n;
        while ((n = ::pread(fd_, block, sizeof block, static_cast<off_t>(bytes.size()))) > 0)
            bytes.append(block, static_cast<std::size_t>(n));
        return bytes;
    }

private:
    int fd_;
    std::string path_;
};
