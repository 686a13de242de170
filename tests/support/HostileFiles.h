// Helpers for tests of files that try to wedge the game: a bound on
// anything that could block on a FIFO, and a way to be refused a file even
// when the tests run as root.
#pragma once

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace hostile {

// Bounds a test that must not block on a FIFO: if the test has not finished
// within 10 s, opens the FIFO for writing, which releases a reader stuck in
// open, and counts that as a failure.
class FifoWatchdog {
public:
    explicit FifoWatchdog(std::string fifo)
        : thread_([this, fifo = std::move(fifo)] {
              std::unique_lock lock(mutex_);
              if (wake_.wait_for(lock, std::chrono::seconds(10), [this] { return finished_; })) return;
              stuck_ = true;
              const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
              if (fd >= 0) ::close(fd);
          }) {}
    FifoWatchdog(const FifoWatchdog&) = delete;
    FifoWatchdog& operator=(const FifoWatchdog&) = delete;
    ~FifoWatchdog() { Finish(); }
    // True when the test got here on its own.
    bool Finish() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        return !stuck_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool finished_ = false;
    bool stuck_ = false;
    std::thread thread_;
};

// Root reads any file. To see what a player without permission sees, the
// calling thread sets aside its power to override file permissions (only
// that thread: capabilities are per thread), and takes it back afterwards.
class WithoutPermissionOverride {
public:
    WithoutPermissionOverride() {
        ::syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ::syscall(SYS_capset, &header_, reduced);
    }
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;
    ~WithoutPermissionOverride() { ::syscall(SYS_capset, &header_, saved_); }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
};

}  // namespace hostile
