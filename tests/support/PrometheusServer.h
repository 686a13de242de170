// A real Prometheus (Debian's) as a child process on loopback, scraping
// the targets a suite names every second, and asked through its query API;
// and promtool's lint of a metrics text.
#pragma once

#include <sys/types.h>

#include <boost/json.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "TempFolder.h"

namespace testsupport {

class PrometheusServer {
public:
    // Starts it scraping each "host:port" of `targets` at /metrics, as job
    // "scoreboard", and waits until it is ready. Throws if it is not within
    // a minute (a bound for liveness only), with its log.
    explicit PrometheusServer(const std::vector<std::string>& targets);
    ~PrometheusServer();
    PrometheusServer(const PrometheusServer&) = delete;
    PrometheusServer& operator=(const PrometheusServer&) = delete;

    // The result of an instant query (its "data" "result" array); throws
    // when Prometheus answers with an error.
    boost::json::array Query(const std::string& promql) const;
    // Asks again, once a quarter second, until `accepted` takes the result;
    // throws with the query and its last result when `patience` passes
    // first (a bound for liveness only, never a measure).
    boost::json::array QueryUntil(const std::string& promql,
                                  const std::function<bool(const boost::json::array&)>& accepted,
                                  std::chrono::seconds patience = std::chrono::seconds(120)) const;
    std::string Log() const;

private:
    TempFolder folder_{"barnblast-prometheus"};
    pid_t pid_ = -1;
    int port_ = 0;
};

// The value of the first sample of a query's result; NaN when there is none.
double FirstValue(const boost::json::array& result);

// The value of one series ("name{labels}" as the text has them) in a
// Prometheus text; NaN when it is not there.
double SampleOf(const std::string& text, const std::string& series);

// What `promtool check metrics` says of `text` (its output, empty when
// clean) and whether it exited 0.
struct PromtoolVerdict {
    bool clean = false;
    std::string output;
};
PromtoolVerdict CheckMetricsText(const std::string& text);

}  // namespace testsupport
