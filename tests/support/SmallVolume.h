// A small filesystem of the test's own: a tmpfs of a given size mounted on a
// scratch folder, so that a program's disk fills for real (ENOSPC) without
// filling the machine's. Mounting needs root, as the suites have in CI;
// where the system refuses it, Refused() says why and nothing is mounted.
#pragma once

#include "TempFolder.h"

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

class SmallVolume {
public:
    // Throws when the mount fails for any reason but a refusal.
    explicit SmallVolume(std::uintmax_t bytes) {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("tmpfs", folder_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
            mounted_ = true;
        } else if (errno == EPERM || errno == EACCES) {
            refused_ = std::string("mount -t tmpfs: ") + std::strerror(errno);
        } else {
            throw std::runtime_error("cannot mount a tmpfs on " + folder_.path().string() + ": " +
                                     std::strerror(errno));
        }
    }
    // Unmounts, lazily if a program still holds a file there.
    ~SmallVolume() {
        if (mounted_) ::umount2(folder_.path().c_str(), MNT_DETACH);
    }
    SmallVolume(const SmallVolume&) = delete;
    SmallVolume& operator=(const SmallVolume&) = delete;

    // Empty once mounted.
    const std::string& Refused() const { return refused_; }
    // NOLINTNEXTLINE(readability-identifier-naming): named as std::filesystem::directory_entry::path
    const std::filesystem::path& path() const { return folder_.path(); }

    // Bytes still free for an ordinary user of the volume.
    std::uintmax_t Free() const {
        struct statvfs s {};
        if (::statvfs(folder_.path().c_str(), &s) != 0) throw std::runtime_error("statvfs failed");
        return static_cast<std::uintmax_t>(s.f_bavail) * s.f_frsize;
    }

    // Writes the file `name` until only about `leave` bytes are left free
    // (or none, when the volume fills first). Removing it frees the room.
    void Fill(const std::string& name, std::uintmax_t leave) {
        std::ofstream out(folder_.path() / name, std::ios::binary);
        const std::vector<char> zeros(64 * 1024, 0);
        for (std::uintmax_t free = Free(); free > leave && out; free = Free()) {
            const auto n = std::min<std::uintmax_t>(zeros.size(), free - leave);
            out.write(zeros.data(), static_cast<std::streamsize>(n));
            out.flush();
        }
    }

private:
    TempFolder folder_{"small-volume"};
    bool mounted_ = false;
    std::string refused_;
};

}  // namespace testsupport
