// Programs the suites start beside them (a sound server, a bus): started,
// watched and ended the same way by every harness.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Whether `program` is an executable on PATH.
bool OnPath(const char* program);

// Starts `args` with `env` added to this process's environment, its standard
// output to `out` (-1: /dev/null) and its standard error to `err`. It dies
// with the test.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env, int out,
            int err);

// Kills `pid` and waits for it; -1 afterwards. Nothing for -1.
void KillAndReap(pid_t& pid);

// Waits until the program `pid` has started listens at `socketPath`: true
// once a connection is accepted; false, and `pid` reaped and -1, if it exits
// first or is not listening within 20 s (a bound for liveness only).
bool WaitToAnswer(pid_t& pid, const std::filesystem::path& socketPath);

}  // namespace testsupport
