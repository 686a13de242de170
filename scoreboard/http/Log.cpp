#include "http/Log.h"

#include "pages/Page.h"

#include <boost/json.hpp>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

namespace scoreboard {
namespace {

std::atomic<LogFormat> format{LogFormat::Text};

void Write(std::string line) {
    line += '\n';
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report it
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Warning: return "warning";
        case LogLevel::Error: return "error";
        case LogLevel::Info: break;
    }
    return "info";
}

boost::json::object Entry(LogLevel level, std::string_view event) {
    const auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    return {{"time", IsoTime(now.count())}, {"level", LevelName(level)}, {"event", event}};
}

}  // namespace

void SetLogFormat(LogFormat f) { format = f; }

void LogEvent(LogLevel level, std::string_view event) {
    if (format == LogFormat::Json)
        Write(boost::json::serialize(Entry(level, event)));
    else
        Write(std::string(event));
}

void LogRequest(const RequestEntry& e) {
    if (format == LogFormat::Json) {
        auto entry = Entry(LogLevel::Info, "request");
        const auto q = e.target.find('?');
        entry["method"] = e.method;
        entry["path"] = e.target.substr(0, q);
        if (q != std::string_view::npos) entry["query"] = e.target.substr(q + 1);
        entry["status"] = e.status;
        entry["duration_ms"] = e.durationMs;
        entry["client"] = e.client;
        if (e.writeFailed) entry["write_failed"] = true;
        return Write(boost::json::serialize(entry));
    }
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.2fms", e.durationMs);
    Write(std::string(e.client) + " " + std::string(e.method) + " " + std::string(e.target) + " " +
          std::to_string(e.status) + " " + ms + (e.writeFailed ? " write failed" : ""));
}

RepeatedError::RepeatedError(std::string what, std::chrono::milliseconds interval,
                             std::function<Clock::time_point()> now, Sink sink)
    : what_(std::move(what)), interval_(interval), now_(std::move(now)), sink_(std::move(sink)) {}

void RepeatedError::ScheduleWith(Schedule schedule) {
    std::lock_guard lock(mutex_);
    schedule_ = std::move(schedule);
    // A tick scheduled by the one before is now nobody's.
    ++run_;
    armed_ = false;
    if (failing_) Arm();
}

void RepeatedError::Failed(std::string_view detail) {
    std::lock_guard lock(mutex_);
    const auto now = now_();
    ++total_;
    lastDetail_ = detail;
    if (!failing_) {
        failing_ = true;
        ++run_;
        total_ = 1;
        unlogged_ = 0;
        lastLine_ = now;
        sink_(LogLevel::Error, what_ + ": " + std::string(detail) + " (more of these are counted, not logged)");
        Arm();
        return;
    }
    ++unlogged_;
}

void RepeatedError::Succeeded() {
    std::lock_guard lock(mutex_);
    if (!failing_) return;
    failing_ = false;
    armed_ = false;
    sink_(LogLevel::Info, what_ + " ended after " + std::to_string(total_) + " in all");
}

void RepeatedError::CountLine() {
    const auto now = now_();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - lastLine_).count();
    sink_(LogLevel::Error, what_ + " repeated " + std::to_string(unlogged_) + " times in the last " +
                               std::to_string(seconds) + " s: " + lastDetail_);
    unlogged_ = 0;
    lastLine_ = now;
}

void RepeatedError::Arm() {
    if (!schedule_ || armed_) return;
    armed_ = true;
    schedule_(interval_, [this, run = run_] { Tick(run); });
}

void RepeatedError::Tick(std::uint64_t run) {
    std::lock_guard lock(mutex_);
    if (run != run_ || !failing_) return;  // that run ended
    armed_ = false;
    // An interval without failures (no one asked) says nothing new.
    if (unlogged_ > 0)
        CountLine();
    else
        lastLine_ = now_();
    Arm();
}

}  // namespace scoreboard
