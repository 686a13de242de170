// The real score table server as a child process on loopback, for every
// suite that talks to one: started, waited for until it listens, signalled
// or killed, and its log read back; and small HTTP clients to talk to it.
#pragma once

#include <sys/types.h>

#include <boost/beast/http.hpp>
#include <boost/json.hpp>

#include <functional>
#include <string>
#include <utility>
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

namespace http = boost::beast::http;
using Reply = http::response<http::string_body>;

// One request on a fresh connection. Bounded: a silent server fails the
// call rather than hanging the test.
Reply Request(unsigned short port, http::verb method, const std::string& target, const std::string& body = {},
              const std::vector<std::pair<std::string, std::string>>& headers = {});

Reply PostJson(unsigned short port, const std::string& body,
               const std::vector<std::pair<std::string, std::string>>& headers = {});
Reply PostScore(unsigned short port, const std::string& game, long long score, const std::string& name,
                const std::string& id);
Reply Get(unsigned short port, const std::string& target);
boost::json::value JsonOf(const Reply& reply);

// Shows `check` every answer that Request and the calls built on it get
// (the raw exchanges below are not HTTP a client would send); none when empty.
// Set it before the first request, as a suite's set-up does.
using ReplyCheck = std::function<void(http::verb, const std::string& target, const Reply&)>;
void CheckEveryReply(ReplyCheck check);

// The same from another loopback address (127.x.y.z), as another client.
Reply RequestFrom(const std::string& source, unsigned short port, http::verb method, const std::string& target,
                  const std::string& body = {}, const std::vector<std::pair<std::string, std::string>>& headers = {});

// A GET on loopback; returns the body, or "" when nobody answers.
std::string HttpGet(int port, const std::string& target);

// A connected socket to the server, with 10 s send and receive timeouts;
// from `source` when given (a 127.x address).
int ConnectLoopback(unsigned short port, const char* source = nullptr);

// Sends raw bytes (then half-closes, if `halfClose`) and returns all that
// comes back until the server closes or a few seconds pass.
std::string RawExchange(unsigned short port, const std::string& bytes, bool halfClose = true);

// A well-formed UUID made from n, for many distinct ids.
std::string Uuid(unsigned long long n);

// `text` percent-encoded for a query string.
std::string UrlEncoded(const std::string& text);

}  // namespace testsupport
