// The console layer as a player meets it: the probe program runs on the
// slave side of a pseudo-terminal (or on a pipe) and these tests type into
// it, read what it reports and inspect the terminal's settings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
// A bound for liveness only: a hung probe fails the test instead of hanging it.
constexpr auto kPatience = std::chrono::seconds(10);

enum class Input { Terminal, Pipe };

void SetCloseOnExec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

// Run in the child between fork and exec: only async-signal-safe calls.
void ResetChildState() {
    for (int sig = 1; sig < NSIG; ++sig) {
        signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
}

class Probe {
public:
    Probe(Input input, const std::string& script) {
        // A probe that died must not take the test process with it.
        signal(SIGPIPE, SIG_IGN);
        std::string path = CONSOLE_PROBE;
        std::string arg = script;
        char* argv[] = {path.data(), arg.data(), nullptr};

        int childIn = -1;
        int childOut = -1;
        if (input == Input::Terminal) {
            int master = -1;
            if (openpty(&master, &slave_, nullptr, nullptr, nullptr) != 0) {
                throw std::runtime_error("openpty failed");
            }
            SetCloseOnExec(master);
            SetCloseOnExec(slave_);
            tcgetattr(slave_, &original_);
            in_ = out_ = master;
            childIn = childOut = slave_;
        } else {
            int keys[2];
            int reports[2];
            if (pipe2(keys, O_CLOEXEC) != 0 || pipe2(reports, O_CLOEXEC) != 0) {
                throw std::runtime_error("pipe failed");
            }
            childIn = keys[0];
            in_ = keys[1];
            out_ = reports[0];
            childOut = reports[1];
            childFds_ = {childIn, childOut};
        }

        pid_ = fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            if (input == Input::Terminal) {
                setsid();
                ioctl(slave_, TIOCSCTTY, 0);
                dup2(slave_, STDERR_FILENO);
            }
            dup2(childIn, STDIN_FILENO);
            dup2(childOut, STDOUT_FILENO);
            ResetChildState();
            execv(argv[0], argv);
            _exit(127);
        }
        for (int fd : childFds_) {
            close(fd);
        }
    }

    ~Probe() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (in_ != out_ && in_ >= 0) {
            close(in_);
        }
        for (int fd : {out_, slave_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    pid_t Pid() const { return pid_; }
    const std::string& Output() const { return output_; }
    const termios& Original() const { return original_; }

    void Send(const std::string& bytes) {
        ASSERT_EQ(write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void CloseInput() {
        close(in_);
        in_ = -1;
    }

    termios Settings() const {
        termios now{};
        tcgetattr(slave_, &now);
        return now;
    }

    // True once the probe's read has the terminal in key-at-a-time mode.
    bool WaitForKeyMode() const {
        const auto deadline = Clock::now() + kPatience;
        while (Clock::now() < deadline) {
            if ((Settings().c_lflag & (ICANON | ECHO)) == 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // The next reported line without its line end, or "<none>".
    std::string NextLine() {
        const auto deadline = Clock::now() + kPatience;
        for (;;) {
            const auto end = output_.find('\n', consumed_);
            if (end != std::string::npos) {
                std::string line = output_.substr(consumed_, end - consumed_);
                consumed_ = end + 1;
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return line;
            }
            if (!ReadMore(deadline)) {
                return "<none>";
            }
        }
    }

    std::vector<std::string> NextLines(std::size_t count) {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < count; ++i) {
            lines.push_back(NextLine());
        }
        return lines;
    }

    // The wait status once the probe has ended; nullopt if it did not.
    std::optional<int> Wait() {
        const auto deadline = Clock::now() + kPatience;
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return std::nullopt;
    }

private:
    bool ReadMore(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[256];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int in_ = -1;
    int out_ = -1;
    int slave_ = -1;
    std::vector<int> childFds_;
    termios original_{};
    std::string output_;
    std::size_t consumed_ = 0;
};

testing::AssertionResult SameSettings(const termios& now, const termios& original) {
    if (now.c_iflag == original.c_iflag && now.c_oflag == original.c_oflag && now.c_cflag == original.c_cflag &&
        now.c_lflag == original.c_lflag && std::memcmp(now.c_cc, original.c_cc, sizeof now.c_cc) == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << std::hex << "terminal left with lflag 0x" << now.c_lflag << " (was 0x"
                                       << original.c_lflag << "), VMIN " << std::dec << int(now.c_cc[VMIN]) << " (was "
                                       << int(original.c_cc[VMIN]) << ")";
}

using Lines = std::vector<std::string>;

// ---------------------------------------------------------------- terminal

TEST(ConsoleTerminal, ArrowKeysInBothFormsArriveAsPrefixThenCode) {
    struct Arrow {
        std::string typed;
        std::string code;
    };
    const std::vector<Arrow> arrows = {
        {"\x1b[A", "K72"}, {"\x1b[B", "K80"}, {"\x1b[C", "K77"}, {"\x1b[D", "K75"},
        {"\x1bOA", "K72"}, {"\x1bOB", "K80"}, {"\x1bOC", "K77"}, {"\x1bOD", "K75"},
    };
    Probe probe(Input::Terminal, std::string(2 * arrows.size(), 'g'));
    for (const Arrow& arrow : arrows) {
        ASSERT_TRUE(probe.WaitForKeyMode());
        probe.Send(arrow.typed);
        EXPECT_EQ(probe.NextLines(2), (Lines{"K224", arrow.code})) << "typed ESC" << arrow.typed.substr(1);
    }
}

TEST(ConsoleTerminal, LoneEscapeIsDeliveredAndOtherSequencesPassThrough) {
    Probe probe(Input::Terminal, "ggggggg");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1b");
    EXPECT_EQ(probe.NextLine(), "K27");

    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("a");
    EXPECT_EQ(probe.NextLine(), "K97");

    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1bx");  // Alt+x
    EXPECT_EQ(probe.NextLines(2), (Lines{"K27", "K120"}));

    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1b[Z");  // Shift+Tab
    EXPECT_EQ(probe.NextLines(3), (Lines{"K27", "K91", "K90"}));
}

TEST(ConsoleTerminal, KeysAreNotEchoedAndSettingsAreBackAfterTheRead) {
    Probe probe(Input::Terminal, "gggw");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("z");
    EXPECT_EQ(probe.NextLine(), "K122");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1b[C");
    EXPECT_EQ(probe.NextLines(3), (Lines{"K224", "K77", "W"}));

    // Only the probe's reports: an echo would add the typed bytes.
    EXPECT_EQ(probe.Output(), "K122\r\nK224\r\nK77\r\nW\r\n");
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
}

TEST(ConsoleTerminal, LineReadAfterKeyReadsHasEchoAndEditing) {
    Probe probe(Input::Terminal, "gggl");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("a");
    EXPECT_EQ(probe.NextLine(), "K97");
    ASSERT_TRUE(probe.WaitForKeyMode());
    probe.Send("\x1b[D");
    EXPECT_EQ(probe.NextLines(2), (Lines{"K224", "K75"}));

    probe.Send("hellp\x7fo\n");  // a typo mended with the erase key
    const std::string echo = probe.NextLine();
    EXPECT_EQ(echo.rfind("hellp", 0), 0u) << "echo was: " << echo;
    EXPECT_EQ(probe.NextLine(), "L:hello");
}

struct Ending {
    const char* name;
    std::string typed;  // a key the terminal turns into the signal, or empty
    int signal;
};

// Sanitizers install their own handlers for crash signals and end the
// process their own way, so the layer leaves those signals to them.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerOwnsCrashes = true;
#else
constexpr bool kSanitizerOwnsCrashes = false;
#endif
// ThreadSanitizer holds a signal back until its runtime next gets control,
// which a signal landing between two calls can wait for indefinitely.
#if defined(__SANITIZE_THREAD__)
constexpr bool kSignalsDeferred = true;
#else
constexpr bool kSignalsDeferred = false;
#endif

bool IsCrash(int sig) { return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGABRT; }

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

class ConsoleTerminalEnding : public testing::TestWithParam<Ending> {};

TEST_P(ConsoleTerminalEnding, SignalDuringReadRestoresSettingsAndStillEnds) {
    const Ending& ending = GetParam();
    if (kSanitizerOwnsCrashes && IsCrash(ending.signal)) {
        GTEST_SKIP() << "a sanitizer handles this signal";
    }
    if (kSignalsDeferred) {
        GTEST_SKIP() << "ThreadSanitizer defers signals";
    }
    Probe probe(Input::Terminal, "g");
    ASSERT_TRUE(probe.WaitForKeyMode());
    if (ending.typed.empty()) {
        kill(probe.Pid(), ending.signal);
    } else {
        probe.Send(ending.typed);
    }
    const auto status = probe.Wait();
    ASSERT_TRUE(status.has_value()) << "probe did not end";
    ASSERT_TRUE(WIFSIGNALED(*status)) << "status " << *status;
    EXPECT_EQ(WTERMSIG(*status), ending.signal);
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
}

INSTANTIATE_TEST_SUITE_P(Ways, ConsoleTerminalEnding,
                         testing::Values(Ending{"CtrlC", "\x03", SIGINT}, Ending{"CtrlBackslash", "\x1c", SIGQUIT},
                                         Ending{"Term", "", SIGTERM}, Ending{"Hangup", "", SIGHUP},
                                         Ending{"Segv", "", SIGSEGV}, Ending{"Abort", "", SIGABRT},
                                         Ending{"Bus", "", SIGBUS}, Ending{"Fpe", "", SIGFPE},
                                         Ending{"Ill", "", SIGILL}),
                         [](const testing::TestParamInfo<Ending>& info) { return info.param.name; });

TEST(ConsoleTerminal, ExitFromAnotherThreadDuringReadRestoresSettings) {
    Probe probe(Input::Terminal, "xg");
    EXPECT_EQ(probe.NextLine(), "X");
    ASSERT_TRUE(probe.WaitForKeyMode());
    kill(probe.Pid(), SIGUSR1);
    const auto status = probe.Wait();
    ASSERT_TRUE(status.has_value()) << "probe did not end";
    ASSERT_TRUE(WIFEXITED(*status)) << "status " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(SameSettings(probe.Settings(), probe.Original()));
}

// ---------------------------------------------------------------- pipe

TEST(ConsolePipe, BytesArriveAsTheyComeAndEndOfInputRepeats) {
    Probe probe(Input::Pipe, "gggggggg");
    probe.Send("a");  // the pipe stays open: nothing waits for more
    EXPECT_EQ(probe.NextLine(), "K97");
    probe.Send("\x1b");
    EXPECT_EQ(probe.NextLine(), "K27");
    probe.Send("\x1b[Cb");
    EXPECT_EQ(probe.NextLines(3), (Lines{"K224", "K77", "K98"}));

    probe.CloseInput();
    EXPECT_EQ(probe.NextLines(3), (Lines{"K-1", "K-1", "K-1"}));
    const auto status = probe.Wait();
    ASSERT_TRUE(status.has_value()) << "probe did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
}

TEST(ConsolePipe, LineReadTakesBytesLeftByKeyReadAndEndsWithInput) {
    Probe probe(Input::Pipe, "glllg");
    probe.Send("\x1b[Zab\r\nlast");
    probe.CloseInput();
    EXPECT_EQ(probe.NextLines(5), (Lines{"K27", "L:[Zab", "L:last", "LEOF", "K-1"}));
    const auto status = probe.Wait();
    ASSERT_TRUE(status.has_value()) << "probe did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
}

}  // namespace
