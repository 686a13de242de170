// Log lines on standard error, one write() each so threads never interleave:
// text as it always was, or one JSON object a line for a log collector.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace scoreboard {

enum class LogFormat { Text, Json };
enum class LogLevel { Info, Warning, Error };

// For the whole process; set once at start, before any thread logs.
void SetLogFormat(LogFormat format);

// An event: the text as it stands, or {"time", "level", "event"}.
void LogEvent(LogLevel level, std::string_view event);
inline void LogLine(std::string_view line) { LogEvent(LogLevel::Info, line); }

// One answered request: "client method target status time" in text, or
// {"time", "level", "event": "request", "method", "path", "status",
// "duration_ms", "client"} with "query" when there is one.
struct RequestEntry {
    std::string_view client;
    std::string_view method;
    std::string_view target;
    unsigned status = 0;
    double durationMs = 0;
    bool writeFailed = false;
};
void LogRequest(const RequestEntry& entry);

// An error that may come with every request for as long as its cause lasts
// (a database that is away): logged once when it starts, then as a count
// once an interval while it goes on, then once when it ends.
class RepeatedError {
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(LogLevel, std::string_view)>;
    // Runs `tick` once, `after` from now, off the caller's thread. The count
    // lines come from it, so that a run whose failures stop coming (no more
    // requests) still gets its count when the interval is up.
    using Schedule = std::function<void(std::chrono::milliseconds after, std::function<void()> tick)>;

    explicit RepeatedError(std::string what, std::chrono::milliseconds interval = std::chrono::seconds(10),
                           std::function<Clock::time_point()> now = Clock::now, Sink sink = LogEvent);

    // From now on the count lines come from `schedule`; none (the default):
    // a run is logged at its start and end only. A run under way is
    // scheduled at once.
    void ScheduleWith(Schedule schedule);

    void Failed(std::string_view detail);
    // Ends the run of failures, if there is one.
    void Succeeded();

private:
    // With mutex_ held.
    void CountLine();
    void Arm();
    void Tick(std::uint64_t run);

    std::string what_;
    std::chrono::milliseconds interval_;
    std::function<Clock::time_point()> now_;
    Sink sink_;
    std::mutex mutex_;
    Schedule schedule_;
    bool failing_ = false;
    std::uint64_t run_ = 0;      // which run a tick belongs to
    bool armed_ = false;         // a tick of this run is on its way
    std::int64_t total_ = 0;     // since the run began
    std::int64_t unlogged_ = 0;  // since the last line
    std::string lastDetail_;
    Clock::time_point lastLine_;
};

}  // namespace scoreboard
