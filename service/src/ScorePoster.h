// Score posting: PostScore stores each score in the outbox and returns; one
// sender thread delivers the outbox to the score table over HTTP(S).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace Corvane::detail {

class Outbox;

// The URL to post scores to. `site` is a host with an optional port
// ("localhost:8765", "[::1]:8765", "scores.example.org"), or a whole base URL
// ("http://127.0.0.1:9000", "https://example.org/barnblast"). A bare host gets
// https, except loopback hosts (localhost, 127.x.x.x, ::1), which get http.
// `override` (from BARNBLAST_SCORE_SITE) wins when not empty. Empty when
// neither names a usable site.
std::string ScoresUrl(std::string_view site, std::string_view override);

// The JSON body {"game","score","name","id"}. Invalid UTF-8 in the texts is
// replaced by U+FFFD, so the body is always valid JSON.
std::string ScoreBody(std::string_view game, std::int32_t score, std::string_view name, std::string_view id);

// What the score table takes of a text: at most this many characters, none of
// them control characters.
constexpr std::size_t kMaxGameCharacters = 64;
constexpr std::size_t kMaxNameCharacters = 32;
// `text` as valid UTF-8, each control character replaced by a space, cut
// after `maxCharacters` characters.
std::string Presentable(std::string_view text, std::size_t maxCharacters);

// Replaces each byte that is not part of a valid UTF-8 sequence by U+FFFD.
std::string ValidUtf8(std::string_view text);

// A random (version 4) UUID in lower-case 8-4-4-4-12 form.
std::string NewUuid();

// How long to wait before the next try after `failures` failed tries in a row
// (1 or more): the server's Retry-After (seconds or an HTTP date, against
// `now`) when it gave one, else 1 s doubling up to 60 s. Capped at one hour.
std::chrono::milliseconds RetryDelay(int failures, std::string_view retryAfter, std::time_t now);

// What an answer means for the entry.
enum class Outcome {
    Delivered,  // 200, 201: remove it
    Refused,    // 400, 413, 422: the same bytes will never be taken; remove it
    Retry,      // unreachable, timeout, 5xx, 429, anything else: keep it
    Aborted,    // stopped by Stop; keep it
};
Outcome Classify(long status);

class ScorePoster {
public:
    static ScorePoster& Get();
    // A process that ends without CloseLib still ends cleanly.
    ~ScorePoster() { Stop(std::chrono::milliseconds(0)); }

    // Starts the sender thread on the outbox of the moment; it sends what is
    // already there. Does nothing when already running.
    void Start();
    // Lets the sender go on for at most `grace` with what it can send now
    // (no waiting for a retry), then aborts the transfer in flight and joins.
    // What is unsent stays in the outbox.
    void Stop(std::chrono::milliseconds grace);

    // Stores one score in the outbox, flushed to disk, and wakes the sender.
    // Works whether or not the sender runs. False, with one line on stderr,
    // when it could not be stored.
    bool Post(std::string_view game, std::int32_t score, std::string_view name, std::string_view site);

private:
    using Clock = std::chrono::steady_clock;
    struct Backoff {
        int failures = 0;
        Clock::time_point until{};
    };

    void Run(Outbox& box);
    // Sends every entry that is due; returns when the earliest backed-off entry
    // is due again, if any is left.
    std::optional<Clock::time_point> Pass(Outbox& box);
    Outcome Send(const std::string& url, const std::string& body, long& status, std::string& answer,
                 std::string& retryAfter);
    bool Aborting() const;

    std::mutex lifecycle_;  // serialises Start and Stop
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    bool running_ = false;   // guarded by mutex_
    bool draining_ = false;  // guarded by mutex_: Stop was called
    unsigned posts_ = 0;     // guarded by mutex_: bumped by Post to wake the sender
    // Steady-clock nanoseconds after which transfers are aborted; read by
    // the transfer loop without the lock.
    std::atomic<std::int64_t> abortAt_{INT64_MAX};
    std::map<std::string, Backoff> backoff_;  // by URL; sender thread only
};

}  // namespace Corvane::detail
