// The network side: accepts connections, reads requests with limits and
// timeouts, and hands them to HandleRequest.
#pragma once

#include "ScoreProtocol.h"
#include "http/Handler.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <memory>
#include <string>

namespace scoreboard {

struct ServerConfig {
    boost::asio::ip::address address = boost::asio::ip::make_address("127.0.0.1");
    unsigned short port = score_protocol::kDefaultPort;
    int threads = 4;
    // Behind a reverse proxy every peer is the proxy: take the client's
    // address from X-Real-IP instead.
    bool trustProxy = false;
    // Open connections at most, in all; 0: as many as the descriptor limit
    // leaves room for (it is raised to its hard limit at start).
    int maxConnections = 0;
    // Open connections from one address; behind a trusted proxy, requests
    // under way from one forwarded address instead.
    int maxPerAddress = 128;
    // How long a connection may stay open without sending a request.
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(5);
};

class Server {
public:
    // Binds at once, so Port() is known before Run(), and before the
    // handler's store is opened. Throws on failure.
    explicit Server(const ServerConfig& config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    unsigned short Port() const;

    // Also listens at `endpoint` for Prometheus's scrapes of /metrics alone
    // (deps.metrics, with deps.metricsApart). Throws on failure.
    void ListenForMetrics(const boost::asio::ip::tcp::endpoint& endpoint);
    // Where it listens for them; 0 when it does not.
    unsigned short MetricsPort() const;

    // Serves until SIGINT or SIGTERM, then stops accepting, lets requests in
    // flight finish and returns. A second signal stops at once.
    void Run(HandlerDeps& deps);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace scoreboard
