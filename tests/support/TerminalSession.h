// A program run the way a player runs it, for tests that type into it: on
// the slave side of a pseudo-terminal, started by a small stand-in for a
// job-control shell (the program has its own process group in the
// terminal's foreground, and the shell takes the terminal back while the
// program is stopped and gives it back on fg), or on two pipes. The test
// types on the master side, reads what the program writes, looks at the
// terminal's settings from the slave side and learns how the program ended.
#pragma once

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
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace terminaltest {

using Clock = std::chrono::steady_clock;
// A bound for liveness only: a hung program fails the test instead of hanging it.
inline constexpr auto kPatience = std::chrono::seconds(10);

enum class Input { Terminal, Pipe };

struct Launch {
    std::vector<std::string> argv;  // argv[0] is the program's path
    Input input = Input::Terminal;
    std::string workingDir;  // empty: the test's own
    std::vector<std::pair<std::string, std::string>> setEnv;
    std::vector<std::string> unsetEnv;
};

namespace detail {

inline void SetCloseOnExec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

// In a child between fork and exec: only async-signal-safe calls.
inline void ResetChildState() {
    for (int sig = 1; sig < NSIG; ++sig) {
        signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
}

// Moves all `size` bytes with `io` (read or write), through interruptions.
template <class Io, class Byte>
inline bool MoveAll(Io io, int fd, Byte* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = io(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

inline bool WriteAll(int fd, const void* data, std::size_t size) {
    return MoveAll(::write, fd, static_cast<const char*>(data), size);
}

inline bool ReadAll(int fd, void* data, std::size_t size) {
    return MoveAll(::read, fd, static_cast<char*>(data), size);
}

// The job of the stand-in shell, for its hangup handler.
inline volatile sig_atomic_t job = 0;

// A shell that loses its terminal passes the hangup on to its job.
inline void PassOnHangup(int /*sig*/) {
    kill(-job, SIGHUP);
    kill(-job, SIGCONT);
}

// The stand-in shell, in the forked child: starts the program as its one
// job in the terminal's foreground and reports every change of its state
// (the wait status) on `reports`; after a stop it waits for one byte on
// `commands`: 'f' puts the job back in the foreground and continues it
// (fg), 'b' continues it where it is, without the terminal (bg).
[[noreturn]] inline void RunShell(int slave, char* const* argv, char* const* envp, const char* workingDir, int reports,
                                  int commands) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        tcsetpgrp(slave, getpgrp());
        ResetChildState();
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        dup2(slave, STDERR_FILENO);
        if (workingDir != nullptr && chdir(workingDir) != 0) {
            _exit(126);
        }
        execve(argv[0], argv, envp);
        _exit(127);
    }
    if (child < 0) {
        _exit(1);
    }
    setpgid(child, child);
    job = child;
    struct sigaction hangup {};
    hangup.sa_handler = PassOnHangup;
    sigemptyset(&hangup.sa_mask);
    sigaction(SIGHUP, &hangup, nullptr);
    const pid_t reported = child;
    WriteAll(reports, &reported, sizeof reported);
    for (;;) {
        int status = 0;
        if (waitpid(child, &status, WUNTRACED | WCONTINUED) < 0) {
            if (errno == EINTR) {
                continue;
            }
            _exit(1);
        }
        WriteAll(reports, &status, sizeof status);
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            _exit(0);
        }
        if (WIFSTOPPED(status)) {
            tcsetpgrp(slave, getpgrp());
            char command = 0;
            if (!ReadAll(commands, &command, 1)) {
                kill(-child, SIGKILL);
                _exit(1);
            }
            if (command == 'f') {
                tcsetpgrp(slave, child);
            }
            kill(-child, SIGCONT);
        }
    }
}

}  // namespace detail

class Session {
public:
    explicit Session(const Launch& launch) {
        // A program that died must not take the test process with it.
        signal(SIGPIPE, SIG_IGN);
        // Everything the children need is made before fork: only
        // async-signal-safe calls after it.
        std::vector<std::string> args = launch.argv;
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env = Environment(launch);
        std::vector<char*> envp;
        for (std::string& entry : env) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        const char* workingDir = launch.workingDir.empty() ? nullptr : launch.workingDir.c_str();

        if (launch.input == Input::Terminal) {
            StartInTerminal(argv.data(), envp.data(), workingDir);
        } else {
            StartOnPipes(argv.data(), envp.data(), workingDir);
        }
    }

    ~Session() {
        if (shell_ > 0) {
            // While the shell lives it has not reaped its job, so the job's
            // process group is still the program's.
            if (!ended_ && waitpid(shell_, nullptr, WNOHANG) == 0) {
                kill(-pid_, SIGKILL);
            }
            kill(shell_, SIGKILL);
            waitpid(shell_, nullptr, 0);
        } else if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_ != out_ ? in_ : -1, out_, slave_, reports_, commands_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    pid_t Pid() const { return pid_; }
    // The terminal's settings before the program started.
    const termios& Original() const { return original_; }

    termios Settings() const {
        termios now{};
        tcgetattr(slave_, &now);
        return now;
    }

    // What a shell does with the terminal while the program is stopped.
    void SetSettings(const termios& settings) const { tcsetattr(slave_, TCSANOW, &settings); }

    void Send(const std::string& bytes) {
        ASSERT_EQ(write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Ends the input: on a terminal, the terminal hangs up.
    void CloseInput() {
        if (in_ == out_) {
            out_ = -1;
        }
        close(in_);
        in_ = -1;
    }

    // True once the terminal's settings satisfy `wanted`.
    bool WaitForSettings(const std::function<bool(const termios&)>& wanted,
                         std::chrono::milliseconds patience = kPatience) const {
        const auto deadline = Clock::now() + patience;
        while (Clock::now() < deadline) {
            if (wanted(Settings())) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    bool WaitForKeyMode(std::chrono::milliseconds patience = kPatience) const {
        return WaitForSettings([](const termios& t) { return (t.c_lflag & (ICANON | ECHO)) == 0; }, patience);
    }

    // Echo and line editing that knows UTF-8: the terminal's settings
    // before the program started lack IUTF8, so this is the program's doing.
    bool WaitForLineMode(std::chrono::milliseconds patience = kPatience) const {
        return WaitForSettings(
            [](const termios& t) {
                return (t.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO) && (t.c_iflag & IUTF8) != 0;
            },
            patience);
    }

    // True once the program has read everything typed so far.
    bool WaitForInputTaken() const {
        const auto deadline = Clock::now() + kPatience;
        while (Clock::now() < deadline) {
            int waiting = 0;
            if (ioctl(slave_, TIOCINQ, &waiting) == 0 && waiting == 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // Everything the program has written so far.
    const std::string& Output() {
        while (ReadMore(Clock::now())) {}
        return output_;
    }

    // True once what the program wrote satisfies `wanted`.
    bool WaitForOutput(const std::function<bool(const std::string&)>& wanted,
                       std::chrono::milliseconds patience = kPatience) {
        const auto deadline = Clock::now() + patience;
        while (!wanted(Output())) {
            if (Clock::now() >= deadline) {
                return false;
            }
            ReadMore(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
        }
        return true;
    }

    // The next line the program wrote, without its line end, or "<none>".
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

    // The wait status once the program has ended; nullopt if it did not.
    std::optional<int> Wait(std::chrono::milliseconds patience = kPatience) {
        const auto deadline = Clock::now() + patience;
        while (auto status = NextStatus(deadline)) {
            if (WIFEXITED(*status) || WIFSIGNALED(*status)) {
                ended_ = true;
                return status;
            }
        }
        return std::nullopt;
    }

    // The wait status once the program has stopped (in a terminal only).
    std::optional<int> WaitForStop() {
        const auto deadline = Clock::now() + kPatience;
        while (auto status = NextStatus(deadline)) {
            if (WIFSTOPPED(*status)) {
                return status;
            }
            if (WIFEXITED(*status) || WIFSIGNALED(*status)) {
                ended_ = true;
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // The shell's fg: the stopped program gets the terminal and continues.
    void Continue() { Command('f'); }

    // The shell's bg: the stopped program continues, the shell keeps the terminal.
    void ContinueInBackground() { Command('b'); }

private:
    void Command(char command) { ASSERT_TRUE(detail::WriteAll(commands_, &command, 1)); }

    static std::vector<std::string> Environment(const Launch& launch) {
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            bool replaced = false;
            for (const std::string& gone : launch.unsetEnv) {
                replaced = replaced || gone == name;
            }
            for (const auto& [setName, value] : launch.setEnv) {
                replaced = replaced || setName == name;
            }
            if (!replaced) {
                env.push_back(text);
            }
        }
        for (const auto& [name, value] : launch.setEnv) {
            env.push_back(name + "=" + value);
        }
        return env;
    }

    void StartInTerminal(char* const* argv, char* const* envp, const char* workingDir) {
        int master = -1;
        if (openpty(&master, &slave_, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        detail::SetCloseOnExec(master);
        detail::SetCloseOnExec(slave_);
        tcgetattr(slave_, &original_);
        in_ = out_ = master;
        int reports[2];
        int commands[2];
        if (pipe2(reports, O_CLOEXEC) != 0 || pipe2(commands, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        shell_ = fork();
        if (shell_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (shell_ == 0) {
            close(master);
            close(reports[0]);
            close(commands[1]);
            detail::RunShell(slave_, argv, envp, workingDir, reports[1], commands[0]);
        }
        close(reports[1]);
        close(commands[0]);
        reports_ = reports[0];
        commands_ = commands[1];
        pollfd fd{reports_, POLLIN, 0};
        pid_t job = -1;
        if (poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) <= 0 ||
            !detail::ReadAll(reports_, &job, sizeof job)) {
            throw std::runtime_error("the program did not start");
        }
        pid_ = job;
    }

    void StartOnPipes(char* const* argv, char* const* envp, const char* workingDir) {
        int keys[2];
        int written[2];
        if (pipe2(keys, O_CLOEXEC) != 0 || pipe2(written, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            dup2(keys[0], STDIN_FILENO);
            dup2(written[1], STDOUT_FILENO);
            detail::ResetChildState();
            if (workingDir != nullptr && chdir(workingDir) != 0) {
                _exit(126);
            }
            execve(argv[0], argv, envp);
            _exit(127);
        }
        close(keys[0]);
        close(written[1]);
        in_ = keys[1];
        out_ = written[0];
    }

    // The next wait status before `deadline`, or nullopt.
    std::optional<int> NextStatus(Clock::time_point deadline) {
        if (shell_ < 0) {
            while (Clock::now() < deadline) {
                int status = 0;
                if (waitpid(pid_, &status, WNOHANG) == pid_) {
                    return status;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            return std::nullopt;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd fd{reports_, POLLIN, 0};
        int status = 0;
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0 ||
            !detail::ReadAll(reports_, &status, sizeof status)) {
            return std::nullopt;
        }
        return status;
    }

    // Reads what is there, waiting for something until `deadline`.
    bool ReadMore(Clock::time_point deadline) {
        if (out_ < 0) {
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) {
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
    pid_t shell_ = -1;
    bool ended_ = false;
    int in_ = -1;
    int out_ = -1;
    int slave_ = -1;
    int reports_ = -1;
    int commands_ = -1;
    termios original_{};
    std::string output_;
    std::size_t consumed_ = 0;
};

// Exactly the settings the terminal had, or what differs.
inline testing::AssertionResult SameSettings(const termios& now, const termios& original) {
    if (now.c_iflag == original.c_iflag && now.c_oflag == original.c_oflag && now.c_cflag == original.c_cflag &&
        now.c_lflag == original.c_lflag && std::memcmp(now.c_cc, original.c_cc, sizeof now.c_cc) == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << std::hex << "terminal left with iflag 0x" << now.c_iflag << " lflag 0x"
                                       << now.c_lflag << " (was 0x" << original.c_iflag << ", 0x" << original.c_lflag
                                       << "), VMIN " << std::dec << int(now.c_cc[VMIN]) << " (was "
                                       << int(original.c_cc[VMIN]) << ")";
}

// Names a wait status the way a shell would.
inline std::string DescribeStatus(int status) {
    if (WIFEXITED(status)) {
        return "exited with " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("killed by ") + strsignal(WTERMSIG(status));
    }
    if (WIFSTOPPED(status)) {
        return std::string("stopped by ") + strsignal(WSTOPSIG(status));
    }
    return "status " + std::to_string(status);
}

}  // namespace terminaltest
