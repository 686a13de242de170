// The real score table server as a child process on loopback, for every
// suite that talks to one: started, waited for until it listens, signalled
// or killed, and its log read back.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class ScoreServer {
public:
    // Starts barnblast-scoreboard on 127.0.0.1 with --db `db` (an SQLite file
    // or a PostgreSQL URL) and then `extraArgs`, on `port` (0: one the system
    // picks), and waits until it says where it listens. Throws if it exits
    // or stays silent first.
    explicit ScoreServer(const std::string& db, std::vector<std::string> extraArgs = {}, int port = 0);
    ~ScoreServer();  // SIGKILL if still running
    ScoreServer(const ScoreServer&) = delete;
    ScoreServer& operator=(const ScoreServer&) = delete;

    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    // Resident memory, from /proc/<pid>/status; -1 if it cannot be read.
    long RssKb() const;
    bool Running();
    void Signal(int sig);
    int Wait();  // the wait status
    // Sends `sig` and waits for the exit; returns the wait status.
    int Stop(int sig);
    std::string Log() const;  // what it wrote to standard error
    // Answers to POST /api/scores with `status`, as logged. An answer is
    // logged once it is sent, after the client may have read it: the count
    // is final only once the server has ended.
    int Posts(int status) const;

private:
    [[noreturn]] void Fail(const std::string& why);  // the server gone, and its log

    pid_t pid_ = -1;
    int port_ = 0;
    std::string logPath_;
};

// A plain HTTP/1.0 GET on loopback; returns the body, or "" when nobody answers.
std::string HttpGet(int port, const std::string& target);

// `text` percent-encoded for a query string.
std::string UrlEncoded(const std::string& text);

}  // namespace testsupport
