#include "ScorePoster.h"

#include "Outbox.h"

#include <curl/curl.h>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace Corvane::detail {

namespace {

using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 3s;
constexpr auto kTransferTimeout = 10s;
// Scores of other processes that stopped early are picked up this often.
constexpr auto kRescan = 60s;
constexpr auto kFirstRetry = 1s;
constexpr auto kLongestBackoff = 60s;
constexpr auto kLongestRetryAfter = 1h;
constexpr std::size_t kMaxAnswerBytes = 4096;
// How soon a transfer notices Stop.
constexpr auto kStopPoll = 50ms;

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsLoopback(std::string_view host) {
    const std::string h = Lower(host);
    if (h == "localhost" || h == "::1" || h == "0:0:0:0:0:0:0:1") return true;
    // 127.0.0.0/8 in dotted-quad form.
    if (!h.starts_with("127.")) return false;
    int parts = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = h.find('.', start);
        const std::string_view part = std::string_view(h).substr(start, dot - start);
        if (!AllDigits(part) || part.size() > 3 || std::stoi(std::string(part)) > 255) return false;
        ++parts;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return parts == 4;
}

// Text from the network or the player, made fit for one line of stderr.
std::string OneLine(std::string_view s, std::size_t max = 200) {
    std::string out;
    for (char c : ValidUtf8(s.substr(0, max))) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
    if (s.size() > max) out += "...";
    return out;
}

// The score table answers errors as {"error": "..."}; anything else as is.
std::string Reason(std::string_view answer) {
    boost::system::error_code ec;
    const auto v = boost::json::parse(answer, ec);
    if (!ec && v.is_object()) {
        if (const auto* e = v.get_object().if_contains("error"); e && e->is_string()) {
            return OneLine(std::string_view(e->get_string()));
        }
    }
    return OneLine(Trim(answer));
}

// What the refusal message names: the score and the player.
std::string Describe(std::string_view body) {
    boost::system::error_code ec;
    const auto v = boost::json::parse(body, ec);
    if (ec || !v.is_object()) return "a score";
    const auto& o = v.get_object();
    return "score " + boost::json::serialize(o.at("score")) + " of " + OneLine(boost::json::serialize(o.at("name")));
}

std::once_flag curlReady;

}  // namespace

std::string ValidUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t cp = 0, min = 0;
        if ((c >> 5) == 0x6)
            len = 2, cp = c & 0x1F, min = 0x80;
        else if ((c >> 4) == 0xE)
            len = 3, cp = c & 0x0F, min = 0x800;
        else if ((c >> 3) == 0x1E)
            len = 4, cp = c & 0x07, min = 0x10000;
        bool ok = len != 0 && i + len <= s.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            ok = (d & 0xC0) == 0x80;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are invalid too.
        ok = ok && cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (ok) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string ScoresUrl(std::string_view site, std::string_view override) {
    std::string_view s = Trim(override.empty() ? site : override);
    if (s.empty()) return {};
    if (std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; })) {
        return {};
    }
    if (const std::size_t sep = s.find("://"); sep != std::string_view::npos) {
        const std::string scheme = Lower(s.substr(0, sep));
        if (scheme != "http" && scheme != "https") return {};
        std::string_view rest = s.substr(sep + 3);
        while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
        if (rest.empty() || rest.front() == '/' || rest.find_first_of("?#") != std::string_view::npos) return {};
        return scheme + "://" + std::string(rest) + "/api/scores";
    }
    if (s.find_first_of("/?#@") != std::string_view::npos) return {};
    std::string_view host, port;
    std::string authority(s);
    if (s.front() == '[') {
        const std::size_t close = s.find(']');
        if (close == std::string_view::npos) return {};
        host = s.substr(1, close - 1);
        const std::string_view after = s.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) return {};
        port = after.empty() ? after : after.substr(1);
        if (after == ":") return {};
    } else if (std::count(s.begin(), s.end(), ':') > 1) {
        host = s;  // a bare IPv6 address, which cannot carry a port
        authority = "[" + std::string(s) + "]";
    } else {
        const std::size_t colon = s.find(':');
        host = s.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = s.substr(colon + 1);
            if (port.empty()) return {};
        }
    }
    if (host.empty()) return {};
    if (!port.empty() && (!AllDigits(port) || port.size() > 5 || std::stoi(std::string(port)) > 65535 ||
                          std::stoi(std::string(port)) == 0)) {
        return {};
    }
    return (IsLoopback(host) ? "http://" : "https://") + authority + "/api/scores";
}

std::string Presentable(std::string_view text, std::size_t maxCharacters) {
    const std::string valid = ValidUtf8(text);
    std::string out;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < valid.size();) {
        const auto c = static_cast<unsigned char>(valid[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (characters == maxCharacters) break;
        const bool c0 = c < 0x20 || c == 0x7F;
        const bool c1 = c == 0xC2 && static_cast<unsigned char>(valid[i + 1]) <= 0x9F;
        if (c0 || c1) {
            out += ' ';
        } else {
            out.append(valid, i, len);
        }
        ++characters;
        i += len;
    }
    return out;
}

std::string ScoreBody(std::string_view game, std::int32_t score, std::string_view name, std::string_view id) {
    boost::json::object o;
    // The table refuses control characters and over-long texts for good;
    // a name typed with a stray tab or at length must not lose the score.
    o["game"] = Presentable(game, kMaxGameCharacters);
    o["score"] = score;
    o["name"] = Presentable(name, kMaxNameCharacters);
    o["id"] = ValidUtf8(id);
    return boost::json::serialize(o);
}

std::string NewUuid() {
    unsigned char b[16];
    std::size_t got = 0;
    while (got < sizeof b) {
        const ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
        // getrandom only fails on interruption or before the kernel's pool
        // is ready, which is long past once a game runs; it retries.
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += kHex[b[i] >> 4];
        out += kHex[b[i] & 15];
    }
    return out;
}

std::chrono::milliseconds RetryDelay(int failures, std::string_view retryAfter, std::time_t now) {
    using std::chrono::milliseconds;
    const std::string_view v = Trim(retryAfter);
    std::optional<std::chrono::seconds> asked;
    if (AllDigits(v)) {
        asked = std::chrono::seconds(v.size() > 7 ? 9999999 : std::stol(std::string(v)));
    } else if (!v.empty()) {
        const std::time_t at = curl_getdate(std::string(v).c_str(), nullptr);
        if (at > 0) asked = std::chrono::seconds(std::max<std::time_t>(0, at - now));
    }
    if (asked) {
        // Never sooner than asked; a floor keeps a server saying 0 from a busy loop.
        return std::clamp<milliseconds>(*asked, kFirstRetry, kLongestRetryAfter);
    }
    const int doublings = std::clamp(failures - 1, 0, 16);
    return std::min<milliseconds>(kFirstRetry * (1 << doublings), kLongestBackoff);
}

Outcome Classify(long status) {
    switch (status) {
        case 200:
        case 201: return Outcome::Delivered;
        case 400:
        case 413:
        case 422: return Outcome::Refused;
        default: return Outcome::Retry;
    }
}

ScorePoster& ScorePoster::Get() {
    static ScorePoster poster;
    return poster;
}

void ScorePoster::Start() {
    std::lock_guard life(lifecycle_);
    std::lock_guard lock(mutex_);
    if (running_) return;
    std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    backoff_.clear();
    abortAt_ = INT64_MAX;
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
        abortAt_ = (Clock::now() + grace).time_since_epoch() / std::chrono::nanoseconds(1);
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool ScorePoster::Post(std::string_view game, std::int32_t score, std::string_view name, std::string_view site) {
    const char* chosen = std::getenv("BARNBLAST_SCORE_SITE");
    const std::string url = ScoresUrl(site, chosen ? chosen : "");
    if (url.empty()) {
        std::fprintf(stderr, "scores: no usable score site in \"%s\"; score %d not posted\n",
                     OneLine(chosen && *chosen ? chosen : site).c_str(), score);
        return false;
    }
    const std::string id = NewUuid();
    Outbox box(OutboxDir());
    std::string error;
    if (!box.Add(id, {url, ScoreBody(game, score, name, id)}, error)) {
        std::fprintf(stderr, "scores: score %d could not be kept for sending: %s\n", score, OneLine(error).c_str());
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        ++posts_;
    }
    wake_.notify_all();
    return true;
}

bool ScorePoster::Aborting() const {
    return Clock::now().time_since_epoch() / std::chrono::nanoseconds(1) >= abortAt_.load();
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
        if (draining_ && (drainingBefore || Aborting())) return;
        if (draining_ || posts_ != seen) continue;
        wake_.wait_until(lock, next.value_or(Clock::now() + kRescan), [&] { return draining_ || posts_ != seen; });
    }
}

std::optional<ScorePoster::Clock::time_point> ScorePoster::Pass(Outbox& box) {
    std::optional<Clock::time_point> earliest;
    const auto noteDue = [&](Clock::time_point t) { earliest = earliest ? std::min(*earliest, t) : t; };
    for (const std::string& file : box.List()) {
        if (Aborting()) break;
        auto claim = box.TryClaim(file);
        if (!claim) continue;
        const OutboxRecord& record = claim->Record();
        Backoff& backoff = backoff_[record.url];
        if (backoff.until > Clock::now()) {
            noteDue(backoff.until);
            continue;
        }
        long status = 0;
        std::string answer, retryAfter;
        switch (Send(record.url, record.body, status, answer, retryAfter)) {
            case Outcome::Delivered:
                box.Remove(*claim);
                backoff = {};
                break;
            case Outcome::Refused:
                std::fprintf(stderr, "scores: the score table at %s refused %s (HTTP %ld: %s); it is dropped\n",
                             OneLine(record.url).c_str(), Describe(record.body).c_str(), status,
                             Reason(answer).c_str());
                box.Remove(*claim);
                backoff = {};
                break;
            case Outcome::Retry:
                ++backoff.failures;
                backoff.until = Clock::now() + RetryDelay(backoff.failures, retryAfter, std::time(nullptr));
                noteDue(backoff.until);
                break;
            case Outcome::Aborted: return earliest;
        }
    }
    return earliest;
}

namespace {

struct Transfer {
    std::string answer;
    std::string retryAfter;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    t->answer.append(data, std::min(n, kMaxAnswerBytes - std::min(kMaxAnswerBytes, t->answer.size())));
    return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::string_view line(data, size * count);
    constexpr std::string_view kEy = "retry-after:";
    if (line.size() > kEy.size() && Lower(line.substr(0, kEy.size())) == kEy) {
        t->retryAfter = Trim(line.substr(kEy.size()));
    } else if (line.starts_with("HTTP/")) {
        t->retryAfter.clear();  // a new answer (after a 100 Continue) starts afresh
    }
    return size * count;
}

}  // namespace

Outcome ScorePoster::Send(const std::string& url, const std::string& body, long& status, std::string& answer,
                          std::string& retryAfter) {
    CURL* curl = curl_easy_init();
    if (!curl) {
        answer = "libcurl could not start";
        return Outcome::Retry;
    }
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Accept: application/json");
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip

    // While stopping, the time left bounds the transfer even between progress calls.
    auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kTransferTimeout);
    if (const std::int64_t at = abortAt_.load(); at != INT64_MAX) {
        const auto left = std::chrono::nanoseconds(at) - Clock::now().time_since_epoch();
        timeout = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(left), 1ms, timeout);
    }
    const auto connect = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(kConnectTimeout));

    Transfer t;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Barnblast Corvane");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);

    // Driven by hand rather than curl_easy_perform, so a stop is noticed
    // within one short poll whatever the transfer is doing.
    CURLcode rc = CURLE_ABORTED_BY_CALLBACK;
    CURLM* multi = curl_multi_init();
    curl_multi_add_handle(multi, curl);
    for (int running = 1; !Aborting();) {
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            rc = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            int left = 0;
            const CURLMsg* msg = curl_multi_info_read(multi, &left);
            rc = msg && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_RECV_ERROR;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(kStopPoll.count()), nullptr);
    }
    status = 0;
    if (rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_multi_remove_handle(multi, curl);
    curl_multi_cleanup(multi);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);

    answer = rc == CURLE_OK ? std::move(t.answer) : std::string(curl_easy_strerror(rc));
    retryAfter = std::move(t.retryAfter);
    if (rc == CURLE_ABORTED_BY_CALLBACK || (rc == CURLE_OPERATION_TIMEDOUT && Aborting())) return Outcome::Aborted;
    if (rc != CURLE_OK) return Outcome::Retry;
    return Classify(status);
}

}  // namespace Corvane::detail
