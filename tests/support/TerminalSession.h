// A program run the way a player runs it, for tests that type into it: on
// the slave side of a pseudo-terminal, started by a small stand-in for a
// job-control shell (the program has its own process group in the
// terminal's foreground, and the shell takes the terminal back while the
// program is stopped and gives it back on fg), or on two pipes. The test
// types on the master side, reads what the program writes, looks at the
// terminal's settings from the slave side and learns how the program ended.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

class Session {
public:
    explicit Session(const Launch& launch);
    ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    pid_t Pid() const { return pid_; }
    // The terminal's settings before the program started.
    const termios& Original() const { return original_; }

    termios Settings() const;

    // What a shell does with the terminal while the program is stopped.
    void SetSettings(const termios& settings) const;

    void Send(const std::string& bytes);

    // Ends the input: on a terminal, the terminal hangs up.
    void CloseInput();

    // True once the terminal's settings satisfy `wanted`.
    bool WaitForSettings(const std::function<bool(const termios&)>& wanted,
                         std::chrono::milliseconds patience = kPatience) const;

    bool WaitForKeyMode(std::chrono::milliseconds patience = kPatience) const;

    // Echo and line editing that knows UTF-8: the terminal's settings
    // before the program started lack IUTF8, so this is the program's doing.
    bool WaitForLineMode(std::chrono::milliseconds patience = kPatience) const;

    // True once the program has read everything typed so far.
    bool WaitForInputTaken() const;

    // Everything the program has written so far.
    const std::string& Output();

    // True once what the program wrote satisfies `wanted`.
    bool WaitForOutput(const std::function<bool(const std::string&)>& wanted,
                       std::chrono::milliseconds patience = kPatience);

    // The next line the program wrote, without its line end, or "<none>".
    std::string NextLine();

    std::vector<std::string> NextLines(std::size_t count);

    // The wait status once the program has ended; nullopt if it did not.
    std::optional<int> Wait(std::chrono::milliseconds patience = kPatience);

    // The wait status once the program has stopped (in a terminal only).
    std::optional<int> WaitForStop();

    // The shell's fg: the stopped program gets the terminal and continues.
    void Continue() { Command('f'); }

    // The shell's bg: the stopped program continues, the shell keeps the terminal.
    void ContinueInBackground() { Command('b'); }

private:
    void Command(char command);
    static std::vector<std::string> Environment(const Launch& launch);
    void StartInTerminal(char* const* argv, char* const* envp, const char* workingDir);
    void StartOnPipes(char* const* argv, char* const* envp, const char* workingDir);
    // The next wait status before `deadline`, or nullopt.
    std::optional<int> NextStatus(Clock::time_point deadline);
    // Reads what is there, waiting for something until `deadline`.
    bool ReadMore(Clock::time_point deadline);

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
testing::AssertionResult SameSettings(const termios& now, const termios& original);

// Names a wait status the way a shell would.
std::string DescribeStatus(int status);

}  // namespace terminaltest
