#include "delivery/ScoreTransfer.h"

#include "common/AsciiText.h"
#include "common/Log.h"
#include "delivery/CurlHandles.h"

#include <algorithm>
#include <mutex>
#include <string_view>

namespace Corvane::detail {

namespace {

using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 3s;
constexpr auto kTransferTimeout = 10s;
constexpr std::size_t kMaxAnswerBytes = 4096;
// How soon a transfer notices a stop.
constexpr auto kStopPoll = 50ms;

struct Received {
    std::string answer;
    std::string retryAfter;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* got = static_cast<Received*>(user);
    const size_t n = size * count;
    got->answer.append(data, std::min(n, kMaxAnswerBytes - std::min(kMaxAnswerBytes, got->answer.size())));
    return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* got = static_cast<Received*>(user);
    const std::string_view line(data, size * count);
    constexpr std::string_view kKey = "retry-after:";
    if (line.size() > kKey.size() && Lower(line.substr(0, kKey.size())) == kKey) {
        got->retryAfter = Trim(line.substr(kKey.size()));
    } else if (line.starts_with("HTTP/")) {
        got->retryAfter.clear();  // a new answer (after a 100 Continue) starts afresh
    }
    return size * count;
}

std::once_flag curlReady;

// Only on the first transfer: starting libcurl loads it, which a game with
// nothing to send never needs, and its first sounds never wait for.
void StartCurl() {
    std::call_once(curlReady, [] {
        // Without it every transfer fails and is retried; the scores wait.
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            Say("scores: libcurl could not start; scores stay in the outbox\n");
        }
    });
}

TransferResult CouldNotStart() {
    TransferResult result;
    result.answer = "libcurl could not start";
    return result;
}

}  // namespace

TransferResult TransferScore(const std::string& url, const std::string& body, const StopDeadline& stop) {
    StartCurl();
    const CurlEasy easy = MakeCurlEasy();
    CurlList headers;
    if (!easy || !Append(headers, "Content-Type: application/json") || !Append(headers, "Accept: application/json") ||
        !Append(headers, "Expect:")) {  // no 100-continue round trip
        return CouldNotStart();
    }

    // While stopping, the time left bounds the transfer even between polls.
    auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kTransferTimeout);
    if (const auto left = stop.Left()) {
        timeout = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(*left), 1ms, timeout);
    }
    const auto connect = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(kConnectTimeout));

    Received got;
    CURL* curl = easy.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Barnblast Corvane");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &got);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &got);

    // Driven by hand rather than curl_easy_perform, so a stop is noticed
    // within one short poll whatever the transfer is doing.
    const CurlMulti multi = MakeCurlMulti();
    if (!multi) return CouldNotStart();
    const CurlMultiMember member(multi.get(), curl);
    if (!member.Added()) return CouldNotStart();
    CURLcode rc = CURLE_ABORTED_BY_CALLBACK;
    for (int running = 1; !stop.Passed();) {
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            rc = CURLE_FAILED_INIT;
            break;
        }
        if (running == 0) {
            int left = 0;
            const CURLMsg* msg = curl_multi_info_read(multi.get(), &left);
            rc = msg && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_RECV_ERROR;
            break;
        }
        // A deadline nearer than one poll is kept to the millisecond.
        auto poll = kStopPoll;
        if (const auto left = stop.Left()) {
            poll = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*left), 1ms, kStopPoll);
        }
        curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(poll.count()), nullptr);
    }

    TransferResult result;
    if (rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    result.answer = rc == CURLE_OK ? std::move(got.answer) : std::string(curl_easy_strerror(rc));
    result.retryAfter = std::move(got.retryAfter);
    result.aborted = rc == CURLE_ABORTED_BY_CALLBACK || (rc == CURLE_OPERATION_TIMEDOUT && stop.Passed());
    if (rc == CURLE_OK && !result.aborted) result.outcome = score_protocol::OutcomeOf(result.status);
    return result;
}

}  // namespace Corvane::detail
