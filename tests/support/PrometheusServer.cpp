#include "PrometheusServer.h"

#include "ChildProcess.h"
#include "LoopbackPort.h"
#include "ScoreServer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {
namespace net = boost::asio;
namespace beast = boost::beast;
namespace json = boost::json;

namespace {

std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A GET of Prometheus's own API: its answers are not the table's, which
// testsupport::Request holds to the table's description.
std::pair<unsigned, std::string> Fetch(int port, const std::string& target) {
    net::io_context ioc;
    net::ip::tcp::socket socket(ioc);
    socket.connect({net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    http::request<http::empty_body> req{http::verb::get, target, 11};
    req.set(http::field::host, "127.0.0.1");
    http::write(socket, req);
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    http::read(socket, buffer, res);
    return {res.result_int(), res.body()};
}

}  // namespace

PrometheusServer::PrometheusServer(const std::vector<std::string>& targets) {
    std::ofstream config(folder_ / "prometheus.yml");
    config << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
              "scrape_configs:\n  - job_name: scoreboard\n    static_configs:\n      - targets: [";
    for (std::size_t i = 0; i < targets.size(); ++i) config << (i ? ", " : "") << '"' << targets[i] << '"';
    config << "]\n";
    config.close();

    port_ = FreeLoopbackPort();
    const int log = ::open((folder_ / "prometheus.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = Spawn({"prometheus", "--config.file=" + (folder_ / "prometheus.yml").string(),
                  "--storage.tsdb.path=" + (folder_ / "data").string(),
                  "--web.listen-address=127.0.0.1:" + std::to_string(port_)},
                 {}, log, log);
    ::close(log);
    for (int i = 0; i < 600; ++i) {
        try {
            if (Fetch(port_, "/-/ready").first == 200) return;
        } catch (const std::exception&) {
            // Not listening yet.
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string logText = Log();
    KillAndReap(pid_);
    throw std::runtime_error("Prometheus was not ready within a minute: " + logText);
}

PrometheusServer::~PrometheusServer() { KillAndReap(pid_); }

std::string PrometheusServer::Log() const { return Slurp(folder_ / "prometheus.log"); }

json::array PrometheusServer::Query(const std::string& promql) const {
    const auto [status, body] = Fetch(port_, "/api/v1/query?query=" + UrlEncoded(promql));
    const json::value answer = json::parse(body);
    if (status != 200 || answer.at("status") != "success")
        throw std::runtime_error("Prometheus refused " + promql + ": " + body);
    return answer.at("data").at("result").as_array();
}

json::array PrometheusServer::QueryUntil(const std::string& promql,
                                         const std::function<bool(const json::array&)>& accepted,
                                         std::chrono::seconds patience) const {
    const auto until = std::chrono::steady_clock::now() + patience;
    json::array result;
    for (;;) {
        result = Query(promql);
        if (accepted(result)) return result;
        if (std::chrono::steady_clock::now() > until)
            throw std::runtime_error("Prometheus still answered " + json::serialize(result) + " to " + promql +
                                     " after " + std::to_string(patience.count()) + " s; its log: " + Log());
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

double FirstValue(const json::array& result) {
    if (result.empty()) return std::numeric_limits<double>::quiet_NaN();
    return std::stod(std::string(result.at(0).at("value").at(1).as_string()));
}

double SampleOf(const std::string& text, const std::string& series) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(series + " ")) return std::stod(line.substr(series.size() + 1));
    return std::numeric_limits<double>::quiet_NaN();
}

PromtoolVerdict CheckMetricsText(const std::string& text) {
    const TempFolder folder("barnblast-promtool");
    std::ofstream(folder / "metrics.txt") << text;
    const std::string command = "promtool check metrics < '" + (folder / "metrics.txt").string() + "' > '" +
                                (folder / "verdict.txt").string() + "' 2>&1";
    const int status = std::system(command.c_str());
    return {.clean = status == 0, .output = Slurp(folder / "verdict.txt")};
}

}  // namespace testsupport
