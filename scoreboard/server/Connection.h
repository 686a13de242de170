// One connection of the score table: reads a request with limits and
// timeouts, hands it to HandleRequest, writes the answer, and again while the
// client keeps the connection. Each step is a Do... that starts an operation
// and an On... that takes its result, on the connection's strand.
#pragma once

#include "http/Handler.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace scoreboard {

namespace beast = boost::beast;
namespace net = boost::asio;
using Tcp = net::ip::tcp;

class Connection;

// What every connection shares: the handler's deps, the set of live
// connections, so a stop can reach the idle ones, and the counts the caps
// are kept by.
struct Shared {
    HandlerDeps* deps = nullptr;  // set by Server::Run, before the first connection
    bool trustProxy = false;
    int maxConnections = 0;
    int maxPerAddress = 0;
    std::chrono::milliseconds idleTimeout{};
    std::function<void()> onIdle{};  // all connections gone after a stop

    std::mutex mutex{};
    std::unordered_map<Connection*, std::weak_ptr<Connection>> live{};
    bool stopping = false;
    int connections = 0;
    // Connections by peer address; behind a trusted proxy, requests under
    // way by forwarded address.
    std::unordered_map<std::string, int> perAddress{};
    // Posts handed to the store and not yet answered: their answers need the
    // io_context, so it must outlive them.
    int storeCalls = 0;
    std::condition_variable storeCallsDone{};

    // Takes a place for `address` unless it or the whole server is full.
    bool Admit(const std::string& address, bool connection) {
        std::lock_guard lock(mutex);
        if (connection && connections >= maxConnections) return false;
        if (!address.empty()) {
            int& n = perAddress[address];
            if (n >= maxPerAddress) return false;
            ++n;
        }
        if (connection) ++connections;
        return true;
    }
    void Release(const std::string& address, bool connection) {
        std::lock_guard lock(mutex);
        if (connection) --connections;
        if (address.empty()) return;
        const auto at = perAddress.find(address);
        if (at != perAddress.end() && --at->second <= 0) perAddress.erase(at);
    }
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Takes over the place the listener took for it under `slot`. One of the
    // listener apart for the metrics (`metricsOnly`) answers nothing else.
    Connection(Tcp::socket&& socket, Shared& shared, std::string peer, std::string slot, bool metricsOnly = false);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Registers with the shared set and starts reading.
    void Run();
    // Any thread: finish the request in progress, if any, then close.
    void Stop();

private:
    void OnStop();

    // Reading a request: the first bytes (with the idle timeout), the
    // header, then the body.
    void DoRead();
    void ReadHeader();
    void OnHeader(beast::error_code ec, std::size_t);
    // Behind a trusted proxy: the client is X-Real-IP, and holds a place
    // while its request is under way. False when it has no place left.
    bool AdmitForwarded(const http::request_header<>& header);
    // Answers "Expect: 100-continue" before the body is read.
    void DoContinue(unsigned version);
    void DoReadBody();
    void OnBody(beast::error_code ec, std::size_t);
    // A request that could not be read. A client that just went away gets no
    // answer; one that sent something malformed gets told, then closed.
    void OnReadError(beast::error_code ec);
    void EndRequest();

    // Writing the answer, then reading the next request or closing.
    void Send(Response&& res);
    void OnWrite(bool keepAlive, beast::error_code ec, std::size_t);

    // Closing: shut our side, then read what the client still sends.
    void DoClose();
    void OnDrain(beast::error_code ec, std::size_t n);
    void Fail(beast::error_code ec, const char* what);

    beast::tcp_stream stream_;
    Shared& shared_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::empty_body> continue_;
    Response res_;
    std::string peer_;
    std::string slot_;                        // the per-address count this connection holds, if any
    std::optional<std::string> requestSlot_;  // behind a proxy, the one its request holds
    std::string client_;
    std::string method_;
    std::string target_;
    std::chrono::steady_clock::time_point started_;
    bool metricsOnly_ = false;
    bool waiting_ = false;
    bool stopping_ = false;
    std::array<char, 4096> drain_{};
    std::size_t drained_ = 0;
};

}  // namespace scoreboard
