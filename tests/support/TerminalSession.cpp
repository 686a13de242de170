// The terminal session's workings: the stand-in shell, run in a forked
// child, and the session that starts it and talks to it.
#include "TerminalSession.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace terminaltest {

namespace {

void SetCloseOnExec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

// In a child between fork and exec: only async-signal-safe calls.
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

// Moves all `size` bytes with `io` (read or write), through interruptions.
template <class Io, class Byte>
bool MoveAll(Io io, int fd, Byte* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = io(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    return MoveAll(::write, fd, static_cast<const char*>(data), size);
}

bool ReadAll(int fd, void* data, std::size_t size) { return MoveAll(::read, fd, static_cast<char*>(data), size); }

// The job of the stand-in shell, for its hangup handler.
volatile sig_atomic_t shellJob = 0;

// A shell that loses its terminal passes the hangup on to its job.
void PassOnHangup(int /*sig*/) {
    kill(-shellJob, SIGHUP);
    kill(-shellJob, SIGCONT);
}

// The stand-in shell, in the forked child: starts the program as its one
// job in the terminal's foreground and reports every change of its state
// (the wait status) on `reports`; after a stop it waits for one byte on
// `commands`: 'f' puts the job back in the foreground and continues it
// (fg), 'b' continues it where it is, without the terminal (bg).
[[noreturn]] void RunShell(int slave, char* const* argv, char* const* envp, const char* workingDir, int reports,
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
    shellJob = child;
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

}  // namespace

Session::Session(const Launch& launch) {
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

Session::~Session() {
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

termios Session::Settings() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now;
}

void Session::SetSettings(const termios& settings) const { tcsetattr(slave_, TCSANOW, &settings); }

void Session::Send(const std::string& bytes) {
    ASSERT_EQ(write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void Session::CloseInput() {
    if (in_ == out_) {
        out_ = -1;
    }
    close(in_);
    in_ = -1;
}

bool Session::WaitForSettings(const std::function<bool(const termios&)>& wanted,
                              std::chrono::milliseconds patience) const {
    const auto deadline = Clock::now() + patience;
    while (Clock::now() < deadline) {
        if (wanted(Settings())) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool Session::WaitForKeyMode(std::chrono::milliseconds patience) const {
    return WaitForSettings([](const termios& t) { return (t.c_lflag & (ICANON | ECHO)) == 0; }, patience);
}

bool Session::WaitForLineMode(std::chrono::milliseconds patience) const {
    return WaitForSettings(
        [](const termios& t) { return (t.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO) && (t.c_iflag & IUTF8) != 0; },
        patience);
}

bool Session::WaitForInputTaken() const {
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

const std::string& Session::Output() {
    while (ReadMore(Clock::now())) {}
    return output_;
}

bool Session::WaitForOutput(const std::function<bool(const std::string&)>& wanted, std::chrono::milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    while (!wanted(Output())) {
        if (Clock::now() >= deadline) {
            return false;
        }
        ReadMore(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
    }
    return true;
}

std::string Session::NextLine() {
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

std::vector<std::string> Session::NextLines(std::size_t count) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < count; ++i) {
        lines.push_back(NextLine());
    }
    return lines;
}

std::optional<int> Session::Wait(std::chrono::milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    while (auto status = NextStatus(deadline)) {
        if (WIFEXITED(*status) || WIFSIGNALED(*status)) {
            ended_ = true;
            return status;
        }
    }
    return std::nullopt;
}

std::optional<int> Session::WaitForStop() {
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

void Session::Command(char command) { ASSERT_TRUE(WriteAll(commands_, &command, 1)); }

std::vector<std::string> Session::Environment(const Launch& launch) {
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

void Session::StartInTerminal(char* const* argv, char* const* envp, const char* workingDir) {
    int master = -1;
    if (openpty(&master, &slave_, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    SetCloseOnExec(master);
    SetCloseOnExec(slave_);
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
        RunShell(slave_, argv, envp, workingDir, reports[1], commands[0]);
    }
    close(reports[1]);
    close(commands[0]);
    reports_ = reports[0];
    commands_ = commands[1];
    pollfd fd{reports_, POLLIN, 0};
    pid_t job = -1;
    if (poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) <= 0 ||
        !ReadAll(reports_, &job, sizeof job)) {
        throw std::runtime_error("the program did not start");
    }
    pid_ = job;
}

void Session::StartOnPipes(char* const* argv, char* const* envp, const char* workingDir) {
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
        ResetChildState();
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

std::optional<int> Session::NextStatus(Clock::time_point deadline) {
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
        !ReadAll(reports_, &status, sizeof status)) {
        return std::nullopt;
    }
    return status;
}

bool Session::ReadMore(Clock::time_point deadline) {
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

// Exactly the settings the terminal had, or what differs.
testing::AssertionResult SameSettings(const termios& now, const termios& original) {
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
std::string DescribeStatus(int status) {
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
