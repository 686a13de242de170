// The sound output's thread plays at a real-time priority where the system
// grants one, so that busy programs cannot hold its blocks back. On a
// desktop a user's program may not take it itself; the system's RealtimeKit
// service grants it over the system bus. Here a private bus stands in for
// the system's, and a stand-in service on it grants as the real one does:
// round-robin, not inherited by children, only for the caller's own threads,
// only once the caller bounds its real-time CPU time, at most at its highest
// priority. The game runs on a thread that may not raise priorities itself.
#include "Corvane.h"
#include "PrivateBus.h"
#include "PulseServer.h"
#include "ScopedEnvironment.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kObject = "/org/freedesktop/RealtimeKit1";
constexpr std::int64_t kMostCpuMicroseconds = 200'000;  // the real service's default
// A bound for liveness only.
constexpr auto kPatience = std::chrono::milliseconds(15s);

class StandInRealtimeKit {
public:
    struct Asked {
        pid_t thread;
        std::uint32_t priority;
    };

    StandInRealtimeKit(bool grants, int highestPriority) : grants_(grants), highest_(highestPriority) {}
    ~StandInRealtimeKit() {
        stop_ = true;
        if (serving_.joinable()) serving_.join();
        sd_bus_flush_close_unref(bus_);
    }

    // On the bus DBUS_SYSTEM_BUS_ADDRESS names.
    bool Start(std::string& error) {
        int failed = sd_bus_open_system(&bus_);
        if (failed >= 0) failed = sd_bus_add_object(bus_, nullptr, kObject, &StandInRealtimeKit::OnMessage, this);
        if (failed >= 0) failed = sd_bus_request_name(bus_, kService, 0);
        if (failed < 0) {
            error = std::string("the stand-in service did not start: ") + std::strerror(-failed);
            return false;
        }
        serving_ = std::thread([this] {
            while (!stop_) {
                if (sd_bus_process(bus_, nullptr) > 0) continue;
                sd_bus_wait(bus_, 20'000);
            }
        });
        return true;
    }

    // The first thread a caller asked for, once it was answered.
    std::optional<Asked> WaitForAsking() {
        std::unique_lock lock(mutex_);
        answered_.wait_for(lock, kPatience, [this] { return !asked_.empty(); });
        if (asked_.empty()) return std::nullopt;
        return asked_.front();
    }
    std::size_t TimesAsked() {
        std::lock_guard lock(mutex_);
        return asked_.size();
    }

private:
    static int OnMessage(sd_bus_message* message, void* self, sd_bus_error* /*error*/) {
        auto* kit = static_cast<StandInRealtimeKit*>(self);
        if (sd_bus_message_is_method_call(message, "org.freedesktop.DBus.Properties", "Get"))
            return kit->Property(message);
        if (sd_bus_message_is_method_call(message, kService, "MakeThreadRealtime")) return kit->Raise(message);
        return 0;
    }

    int Property(sd_bus_message* message) const {
        const char* interface = nullptr;
        const char* name = nullptr;
        if (sd_bus_message_read(message, "ss", &interface, &name) < 0) return -EINVAL;
        const std::string property = name;
        if (property == "RTTimeUSecMax") return sd_bus_reply_method_return(message, "v", "x", kMostCpuMicroseconds);
        if (property == "MaxRealtimePriority")
            return sd_bus_reply_method_return(message, "v", "i", static_cast<std::int32_t>(highest_));
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
    }

    int Raise(sd_bus_message* message) {
        std::uint64_t thread = 0;
        std::uint32_t priority = 0;
        if (sd_bus_message_read(message, "tu", &thread, &priority) < 0) return -EINVAL;
        const int answer = Grant(message, static_cast<pid_t>(thread), priority);
        {
            std::lock_guard lock(mutex_);
            asked_.push_back({static_cast<pid_t>(thread), priority});
        }
        answered_.notify_all();
        return answer;
    }

    // The real service's checks, in its order. The caller is this process.
    int Grant(sd_bus_message* message, pid_t thread, std::uint32_t priority) const {
        if (!grants_) return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_ACCESS_DENIED, "not authorized");
        rlimit limit{};
        ::getrlimit(RLIMIT_RTTIME, &limit);
        if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > static_cast<rlim_t>(kMostCpuMicroseconds))
            return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_ACCESS_DENIED, "RLIMIT_RTTIME not set");
        if (priority < 1 || priority > static_cast<std::uint32_t>(highest_))
            return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_INVALID_ARGS, "priority out of range");
        if (!fs::exists("/proc/self/task/" + std::to_string(thread)))
            return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_ACCESS_DENIED, "not the caller's thread");
        sched_param param{};
        param.sched_priority = static_cast<int>(priority);
        if (::sched_setscheduler(thread, SCHED_RR | SCHED_RESET_ON_FORK, &param) != 0)
            return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_FAILED, "%s", std::strerror(errno));
        return sd_bus_reply_method_return(message, "");
    }

    const bool grants_;
    const int highest_;
    sd_bus* bus_ = nullptr;  // used by the serving thread only, once started
    std::atomic<bool> stop_{false};
    std::thread serving_;
    std::mutex mutex_;
    std::condition_variable answered_;
    std::vector<Asked> asked_;  // guarded by mutex_
};

// Takes from the calling thread, and the threads it starts, the right to
// raise any thread's priority: a user's program on a desktop.
bool DropPriorityRights() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    data[CAP_SYS_NICE / 32].permitted &= ~(1u << (CAP_SYS_NICE % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

// The threads of this process at a real-time priority.
std::vector<pid_t> RealTimeThreads() {
    std::vector<pid_t> threads;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
        const pid_t thread = std::stoi(entry.path().filename().string());
        const int policy = ::sched_getscheduler(thread) & ~SCHED_RESET_ON_FORK;
        if (policy == SCHED_RR || policy == SCHED_FIFO) threads.push_back(thread);
    }
    return threads;
}

struct Case {
    const char* name;
    bool serviceOnBus;
    bool grants;
    int highestPriority;
    int expectedPriority;  // 0: the thread stays as it was
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class AudioThreadPriority : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        if (const std::string missing = testsupport::PulseServerMissing(); !missing.empty()) GTEST_SKIP() << missing;
        if (const std::string missing = testsupport::PrivateBusMissing(); !missing.empty()) GTEST_SKIP() << missing;
        // Only a privileged process can grant what the real service grants.
        if (::geteuid() != 0) GTEST_SKIP() << "standing in for the system's service needs root";
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
        server_.UseInThisProcess();
        ASSERT_TRUE(bus_.Start(error)) << error;
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.Address().c_str(), 1);
        ::setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
        ::setenv("BARNBLAST_DATA", SOURCE_DIR "/Media", 1);
        ::unsetenv("BARNBLAST_CAPTURE");
        ASSERT_TRUE(server_.StartRecording(error)) << error;
        // No real-time priority without asking, whatever this machine allows.
        ::getrlimit(RLIMIT_RTPRIO, &rtPriority_);
        rlimit none = rtPriority_;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_RTPRIO, &none);
    }
    void TearDown() override { ::setrlimit(RLIMIT_RTPRIO, &rtPriority_); }

    testsupport::ScopedEnvironment environment_{
        "PULSE_SERVER",    "XDG_RUNTIME_DIR", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH",       "HOME",
        "SDL_AUDIODRIVER", "BARNBLAST_DATA",  "BARNBLAST_CAPTURE",  "DBUS_SYSTEM_BUS_ADDRESS"};
    testsupport::PulseServer server_;
    testsupport::PrivateBus bus_;
    rlimit rtPriority_{};
};

TEST_P(AudioThreadPriority, IsAskedOfTheSystemsServiceAndTheSoundPlaysEitherWay) {
    const Case& c = GetParam();
    std::optional<StandInRealtimeKit> kit;
    if (c.serviceOnBus) {
        std::string error;
        kit.emplace(c.grants, c.highestPriority);
        ASSERT_TRUE(kit->Start(error)) << error;
    }
    std::thread player([&] {
        ASSERT_TRUE(DropPriorityRights());
        ASSERT_TRUE(Corvane::InitLib(5));
        const std::size_t from = server_.RecordedFrames();
        Corvane::Sound cluck("Media/Chicken.wav");
        cluck.Play(1, true, 128, 255);
        EXPECT_TRUE(server_.WaitToHear(from, testsupport::Sounding, kPatience));

        std::optional<StandInRealtimeKit::Asked> asked;
        if (kit) {
            asked = kit->WaitForAsking();
            ASSERT_TRUE(asked) << "the service was never asked";
            EXPECT_EQ(asked->priority, static_cast<std::uint32_t>(std::min(4, c.highestPriority)));
        }
        const std::vector<pid_t> raised = RealTimeThreads();
        if (c.expectedPriority == 0) {
            EXPECT_TRUE(raised.empty());
        } else {
            ASSERT_EQ(raised, std::vector<pid_t>{asked->thread});
            sched_param param{};
            ::sched_getparam(asked->thread, &param);
            EXPECT_EQ(param.sched_priority, c.expectedPriority);
        }
        // Still playing, and heard, after the answer.
        const std::size_t later = server_.RecordedFrames();
        EXPECT_TRUE(server_.WaitToHear(later, testsupport::Sounding, kPatience));
        Corvane::CloseLib();
        if (kit) {
            EXPECT_EQ(kit->TimesAsked(), 1U);
        }
    });
    player.join();
}

INSTANTIATE_TEST_SUITE_P(Answers, AudioThreadPriority,
                         ::testing::Values(Case{"Granted", true, true, 20, 4},
                                           Case{"GrantedAtTheServicesHighest", true, true, 2, 2},
                                           Case{"Refused", true, false, 20, 0}, Case{"NoService", false, false, 20, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
