#include "delivery/ScorePoster.h"

#include "common/AsciiText.h"
#include "common/Log.h"
#include "common/Singleton.h"
#include "delivery/Outbox.h"

#include "SafeText.h"
#include "ScoreContract.h"
#include "ScoreJson.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace Corvane::detail {

namespace {

using namespace std::chrono_literals;
using score_protocol::LogSafe;

// Scores of other processes that stopped early are picked up this often.
constexpr auto kRescan = 60s;

// The table's error message; an answer that is no error body (a proxy's
// page, say) as it came.
std::string Reason(std::string_view answer) {
    if (const auto error = score_protocol::ReadErrorBody(answer)) return LogSafe(error->message);
    return LogSafe(Trim(answer));
}

// What the refusal message names: the score and the player.
std::string Describe(const score_protocol::ScoreRequest& score) {
    return "score " + std::to_string(score.score) + " of \"" + LogSafe(score.name) + "\"";
}

}  // namespace

ScorePoster& ScorePoster::Get() { return Singleton<ScorePoster>(); }

void ScorePoster::Start() {
    std::lock_guard life(lifecycle_);
    std::lock_guard lock(mutex_);
    if (running_) return;
    backoff_.clear();
    stop_.Clear();
    draining_ = false;
    running_ = true;
    thread_ = std::thread([this, dir = OutboxDir()] {
        Outbox box(dir);
        Run(box);
    });
}

void ScorePoster::Stop(std::chrono::milliseconds grace) {
    std::lock_guard life(lifecycle_);
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        draining_ = true;
        stop_.Set(Clock::now() + grace);
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool ScorePoster::Post(std::string_view game, std::int32_t score, std::string_view name, std::string_view site,
                       std::string_view round) {
    const char* chosen = std::getenv("BARNBLAST_SCORE_SITE");
    const std::string url = ScoresUrl(site, chosen ? chosen : "");
    if (url.empty()) {
        Say("scores: no usable score site in \"%s\"; score %d not posted\n",
            LogSafe(chosen && *chosen ? chosen : site).c_str(), score);
        return false;
    }
    const std::string id = NewUuid();
    Outbox box(OutboxDir());
    std::string error;
    if (!box.Add(id, {url, score_protocol::ScoreBody(game, score, name, id, round)}, error)) {
        Say("scores: score %d could not be kept for sending: %s\n", score, LogSafe(error).c_str());
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        ++posts_;
    }
    wake_.notify_all();
    return true;
}

void ScorePoster::Run(Outbox& box) {
    box.SweepTemporaries();
    std::unique_lock lock(mutex_);
    for (;;) {
        const unsigned seen = posts_;
        const bool drainingBefore = draining_;
        lock.unlock();
        const auto next = Pass(box);
        lock.lock();
        // Once stopping, one whole pass is made after Stop, then the thread ends.
        if (draining_ && (drainingBefore || stop_.Passed())) return;
        if (draining_ || posts_ != seen) continue;
        wake_.wait_until(lock, next.value_or(Clock::now() + kRescan), [&] { return draining_ || posts_ != seen; });
    }
}

std::optional<ScorePoster::Clock::time_point> ScorePoster::Pass(Outbox& box) {
    std::optional<Clock::time_point> earliest;
    const auto noteDue = [&](Clock::time_point t) { earliest = earliest ? std::min(*earliest, t) : t; };
    for (const std::string& file : box.List()) {
        if (stop_.Passed()) break;
        auto claim = box.TryClaim(file);
        if (!claim) continue;
        const DecodedRecord& record = claim->Record();
        Backoff& backoff = backoff_[record.url];
        if (backoff.until > Clock::now()) {
            noteDue(backoff.until);
            continue;
        }
        const TransferResult sent = TransferScore(record.url, record.body, stop_);
        if (sent.aborted) return earliest;
        switch (sent.outcome) {
            case score_protocol::Outcome::Stored:
                box.Remove(*claim);
                backoff = {};
                break;
            case score_protocol::Outcome::GiveUp:
                Say("scores: the score table at %s refused %s (HTTP %ld: %s); it is dropped\n",
                    LogSafe(record.url).c_str(), Describe(record.score).c_str(), sent.status,
                    Reason(sent.answer).c_str());
                box.Remove(*claim);
                backoff = {};
                break;
            case score_protocol::Outcome::RetryLater:
                ++backoff.failures;
                backoff.until = Clock::now() + RetryDelay(backoff.failures, sent.retryAfter, std::time(nullptr));
                noteDue(backoff.until);
                break;
        }
    }
    return earliest;
}

}  // namespace Corvane::detail
