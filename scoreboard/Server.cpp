#include "Server.h"

#include "Log.h"
#include "SafeText.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace scoreboard {
namespace beast = boost::beast;
namespace net = boost::asio;
using Tcp = net::ip::tcp;
using namespace std::chrono_literals;
using score_protocol::LogSafe;

namespace {

// Once a request has begun, the rest of it must come within this.
constexpr auto kReadTimeout = 10s;
constexpr auto kWriteTimeout = 30s;
constexpr std::size_t kMaxHeaderBytes = 8 * 1024;
// What one connection may hold of what it was sent: a header and a body at
// most, and whatever line the parser is in the middle of.
constexpr std::size_t kMaxBufferBytes = kMaxHeaderBytes + kMaxBodyBytes + 4 * 1024;
constexpr std::size_t kFirstRead = 4 * 1024;
// Descriptors kept back from connections: the database, its log, readers.
constexpr int kReservedDescriptors = 64;
constexpr auto kAcceptRetry = 50ms;
// After answering and shutting down our side, read what the client still
// sends for a while, so that closing does not reset the connection before it
// has read our answer.
constexpr auto kDrainTimeout = 2s;
constexpr std::size_t kMaxDrainBytes = 64 * 1024;

class Session;

// What every session shares: the service, the set of live sessions, so a
// stop can reach the idle ones, and the counts the caps are kept by.
struct Shared {
    Service* service = nullptr;  // set by Server::Run, before the first session
    bool trustProxy = false;
    int maxConnections = 0;
    int maxPerAddress = 0;
    std::chrono::milliseconds idleTimeout{};
    std::function<void()> onIdle{};  // all sessions gone after a stop

    std::mutex mutex{};
    std::unordered_map<Session*, std::weak_ptr<Session>> sessions{};
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

class Session : public std::enable_shared_from_this<Session> {
public:
    // Takes over the place the listener took for it under `slot`.
    Session(Tcp::socket&& socket, Shared& shared, std::string peer, std::string slot)
        : stream_(std::move(socket)), shared_(shared), peer_(std::move(peer)), slot_(std::move(slot)) {}

    ~Session() {
        EndRequest();
        shared_.Release(slot_, true);
        std::function<void()> idle;
        {
            std::lock_guard lock(shared_.mutex);
            shared_.sessions.erase(this);
            if (shared_.stopping && shared_.sessions.empty()) idle = shared_.onIdle;
        }
        if (idle) idle();
    }

    void Run() {
        bool stopping = false;
        {
            std::lock_guard lock(shared_.mutex);
            shared_.sessions.emplace(this, weak_from_this());
            stopping = shared_.stopping;
        }
        if (stopping) Stop();
        net::dispatch(stream_.get_executor(), beast::bind_front_handler(&Session::DoRead, shared_from_this()));
    }

    // Any thread: finish the request in progress, if any, then close.
    void Stop() { net::post(stream_.get_executor(), beast::bind_front_handler(&Session::OnStop, shared_from_this())); }

private:
    void OnStop() {
        stopping_ = true;
        if (waiting_) stream_.cancel();  // no request under way: drop the connection now
    }

    void DoRead() {
        if (stopping_) return DoClose();
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        parser_->body_limit(kMaxBodyBytes);
        waiting_ = true;
        if (buffer_.size() > 0) return ReadHeader();  // the next request came with the last
        // A connection that has sent nothing gets a short while; one that has
        // begun a request gets the time to finish it.
        stream_.expires_after(shared_.idleTimeout);
        stream_.async_read_some(buffer_.prepare(kFirstRead),
                                [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                                    self->buffer_.commit(n);
                                    if (ec) return self->OnHeader(ec, 0);
                                    self->ReadHeader();
                                });
    }

    void ReadHeader() {
        stream_.expires_after(kReadTimeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                beast::bind_front_handler(&Session::OnHeader, shared_from_this()));
    }

    void OnHeader(beast::error_code ec, std::size_t) {
        waiting_ = false;
        started_ = std::chrono::steady_clock::now();
        method_ = "-";
        target_ = "-";
        client_ = peer_;
        if (ec) return OnReadError(ec);

        const auto& header = parser_->get();
        method_ = std::string(header.method_string());
        target_ = std::string(header.target());
        if (shared_.trustProxy) {
            const std::string_view real = header["X-Real-IP"];
            if (!real.empty()) client_ = std::string(real.substr(0, 64));
            // Every connection is the proxy's: the cap counts each player's
            // requests under way instead.
            if (!shared_.Admit(client_, false))
                return Send(ErrorResponse(http::status::service_unavailable, header.version(), false,
                                          "too many requests under way from this address"));
            requestSlot_ = client_;
        }

        if (auto refusal = ScreenRequest(header.base(), *shared_.service, client_)) return Send(std::move(*refusal));

        if (parser_->is_done()) return OnBody({}, 0);
        if (beast::iequals(header[http::field::expect], "100-continue")) {
            continue_ = {http::status::continue_, header.version()};
            stream_.expires_after(kWriteTimeout);
            return http::async_write(stream_, continue_, [self = shared_from_this()](beast::error_code e, std::size_t) {
                if (e) return self->Fail(e, "write");
                self->DoReadBody();
            });
        }
        DoReadBody();
    }

    void DoReadBody() {
        stream_.expires_after(kReadTimeout);
        http::async_read(stream_, buffer_, *parser_, beast::bind_front_handler(&Session::OnBody, shared_from_this()));
    }

    void OnBody(beast::error_code ec, std::size_t) {
        if (ec) return OnReadError(ec);
        const Request req = parser_->release();
        // A post is answered from the store's writer thread once it is on
        // disk; back on this connection's strand to write.
        {
            std::lock_guard lock(shared_.mutex);
            ++shared_.storeCalls;
        }
        HandleRequest(req, *shared_.service, [self = shared_from_this()](Response res) {
            net::dispatch(self->stream_.get_executor(),
                          [self, res = std::move(res)]() mutable { self->Send(std::move(res)); });
            std::lock_guard lock(self->shared_.mutex);
            if (--self->shared_.storeCalls == 0) self->shared_.storeCallsDone.notify_all();
        });
    }

    void EndRequest() {
        if (!requestSlot_) return;
        shared_.Release(*requestSlot_, false);
        requestSlot_.reset();
    }

    // A request that could not be read. A client that just went away gets no
    // answer; one that sent something malformed gets told, then closed.
    void OnReadError(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == http::error::partial_message || ec == beast::error::timeout ||
            ec == net::error::operation_aborted)
            return DoClose();
        // A line longer than the buffer holds: a chunk size, extension or
        // trailer without end, had chunked bodies been read.
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
            return Send(ErrorResponse(http::status::request_header_fields_too_large, 11, false,
                                      "request headers are too large"));
        if (ec == http::error::body_limit)
            return Send(ErrorResponse(http::status::payload_too_large, 11, false,
                                      "body is larger than " + std::to_string(kMaxBodyBytes) + " bytes"));
        if (ec.category() == http::make_error_code(http::error::bad_target).category())
            return Send(ErrorResponse(http::status::bad_request, 11, false, "malformed request: " + ec.message()));
        Fail(ec, "read");
    }

    void Send(Response&& res) {
        res_ = std::move(res);
        if (stopping_) res_.keep_alive(false);
        const bool keepAlive = res_.keep_alive();
        stream_.expires_after(kWriteTimeout);
        http::async_write(stream_, res_, beast::bind_front_handler(&Session::OnWrite, shared_from_this(), keepAlive));
    }

    void OnWrite(bool keepAlive, beast::error_code ec, std::size_t) {
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - started_;
        char ms[32];
        std::snprintf(ms, sizeof ms, "%.2fms", took.count());
        LogLine(LogSafe(client_, 64) + " " + LogSafe(method_, 16) + " " + LogSafe(target_) + " " +
                std::to_string(res_.result_int()) + " " + ms + (ec ? " write failed" : ""));
        EndRequest();
        if (ec) return Fail(ec, "write");
        res_ = {};
        if (!keepAlive) return DoClose();
        DoRead();
    }

    void DoClose() {
        beast::error_code ec;
        stream_.socket().shutdown(Tcp::socket::shutdown_send, ec);
        if (ec) return;
        stream_.expires_after(kDrainTimeout);
        stream_.async_read_some(net::buffer(drain_), beast::bind_front_handler(&Session::OnDrain, shared_from_this()));
    }

    void OnDrain(beast::error_code ec, std::size_t n) {
        drained_ += n;
        if (ec || drained_ > kMaxDrainBytes) return;  // the socket closes with the session
        stream_.async_read_some(net::buffer(drain_), beast::bind_front_handler(&Session::OnDrain, shared_from_this()));
    }

    void Fail(beast::error_code ec, const char* what) {
        // A client may go away at any moment; that is no fault of ours.
        if (ec == net::error::operation_aborted || ec == beast::error::timeout || ec == net::error::connection_reset ||
            ec == net::error::broken_pipe || ec == net::error::eof)
            return;
        LogLine(peer_ + " " + what + ": " + ec.message());
    }

    beast::tcp_stream stream_;
    Shared& shared_;
    beast::flat_buffer buffer_{kMaxBufferBytes};
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
    bool waiting_ = false;
    bool stopping_ = false;
    std::array<char, 4096> drain_{};
    std::size_t drained_ = 0;
};

class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(net::io_context& ioc, const Tcp::endpoint& endpoint, Shared& shared)
        : ioc_(ioc), acceptor_(net::make_strand(ioc)), retry_(acceptor_.get_executor()), shared_(shared) {
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(net::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(net::socket_base::max_listen_connections);
    }

    unsigned short Port() const { return acceptor_.local_endpoint().port(); }

    void Run() {
        net::dispatch(acceptor_.get_executor(), beast::bind_front_handler(&Listener::DoAccept, shared_from_this()));
    }

    void Stop() {
        net::post(acceptor_.get_executor(), [self = shared_from_this()] {
            beast::error_code ec;
            self->acceptor_.close(ec);
            self->retry_.cancel();
        });
    }

private:
    void DoAccept() {
        if (!acceptor_.is_open()) return;
        acceptor_.async_accept(net::make_strand(ioc_),
                               beast::bind_front_handler(&Listener::OnAccept, shared_from_this()));
    }

    void OnAccept(beast::error_code ec, Tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
        if (ec) {
            // Out of descriptors, most likely: pause rather than spin, and
            // say so once per run of failures.
            if (failures_++ == 0) LogLine("accept: " + ec.message() + "; pausing accepts");
            retry_.expires_after(kAcceptRetry);
            retry_.async_wait([self = shared_from_this()](beast::error_code e) {
                if (!e) self->DoAccept();
            });
            return;
        }
        if (failures_ > 0) {
            LogLine("accept: working again after " + std::to_string(failures_) + " failure(s)");
            failures_ = 0;
        }
        beast::error_code remoteEc;
        const auto remote = socket.remote_endpoint(remoteEc);
        if (remoteEc) {
            DoAccept();  // gone already; the socket closes here
            return;
        }
        std::string peer = remote.address().to_string();
        // Behind a trusted proxy every connection is the proxy's; the cap
        // counts requests per forwarded address instead.
        std::string slot = shared_.trustProxy ? std::string() : peer;
        if (!shared_.Admit(slot, true)) {
            // Closed at once: a full server must not hold a descriptor for it.
            NoteRefused(peer);
        } else {
            std::make_shared<Session>(std::move(socket), shared_, std::move(peer), std::move(slot))->Run();
        }
        DoAccept();
    }

    // One log line per address and burst, not one per connection.
    void NoteRefused(const std::string& peer) {
        const auto now = std::chrono::steady_clock::now();
        ++refused_;
        if (peer == lastRefused_ && now - lastRefusedLog_ < 10s) return;
        LogLine(LogSafe(peer, 64) + " connection refused: too many open (" + std::to_string(refused_) +
                " refused so far)");
        lastRefused_ = peer;
        lastRefusedLog_ = now;
    }

    net::io_context& ioc_;
    Tcp::acceptor acceptor_;
    net::steady_timer retry_;
    Shared& shared_;
    int failures_ = 0;
    std::uint64_t refused_ = 0;
    std::string lastRefused_;
    std::chrono::steady_clock::time_point lastRefusedLog_;
};

// Connections need descriptors: take all the hard limit allows, and keep
// some back for the database. Returns the cap on connections this leaves.
int RaiseDescriptorLimit(int wanted) {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    const rlim_t soft = lim.rlim_cur == RLIM_INFINITY ? 1 << 20 : lim.rlim_cur;
    const int room = static_cast<int>(std::min<rlim_t>(soft, 1 << 20)) - kReservedDescriptors;
    const int cap = std::max(room, 16);
    return wanted > 0 ? std::min(wanted, cap) : cap;
}

}  // namespace

struct Server::Impl {
    explicit Impl(const ServerConfig& config)
        : ioc(config.threads),
          shared{.trustProxy = config.trustProxy,
                 .maxConnections = RaiseDescriptorLimit(config.maxConnections),
                 .maxPerAddress = std::max(1, config.maxPerAddress),
                 .idleTimeout = config.idleTimeout},
          signals(net::make_strand(ioc), SIGINT, SIGTERM),
          listener(std::make_shared<Listener>(ioc, Tcp::endpoint(config.address, config.port), shared)),
          threads(std::max(1, config.threads)) {}

    void OnSignal(beast::error_code ec, int signal) {
        if (ec) return;
        bool first = false;
        bool idle = false;
        std::vector<std::shared_ptr<Session>> live;
        {
            std::lock_guard lock(shared.mutex);
            first = !shared.stopping;
            shared.stopping = true;
            idle = shared.sessions.empty();
            for (auto& [ptr, weak] : shared.sessions)
                if (auto s = weak.lock()) live.push_back(std::move(s));
        }
        if (!first) {
            LogLine("second signal: stopping now");
            ioc.stop();
            return;
        }
        LogLine(std::string("signal ") + std::to_string(signal) + ": finishing " + std::to_string(live.size()) +
                " open connection(s), then stopping");
        listener->Stop();
        for (auto& s : live) s->Stop();
        // Keep listening for a second signal until the last session is gone.
        if (idle)
            signals.cancel();
        else
            signals.async_wait([this](beast::error_code e, int s) { OnSignal(e, s); });
    }

    net::io_context ioc;
    Shared shared;
    net::signal_set signals;
    std::shared_ptr<Listener> listener;
    int threads;
};

Server::Server(const ServerConfig& config) : impl_(std::make_unique<Impl>(config)) {
    impl_->shared.onIdle = [this] { net::post(impl_->signals.get_executor(), [this] { impl_->signals.cancel(); }); };
}

Server::~Server() = default;

unsigned short Server::Port() const { return impl_->listener->Port(); }

void Server::Run(Service& service) {
    impl_->shared.service = &service;
    impl_->signals.async_wait([this](beast::error_code ec, int s) { impl_->OnSignal(ec, s); });
    impl_->listener->Run();

    // A handler that throws must not take the server down with it.
    const auto worker = [this] {
        for (;;) {
            try {
                impl_->ioc.run();
                return;
            } catch (const std::exception& e) {
                LogLine(std::string("unhandled: ") + e.what());
            }
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < impl_->threads; ++i) pool.emplace_back(worker);
    worker();
    for (auto& t : pool) t.join();
    // After a second signal, posts may still be on their way to disk: wait
    // for their answers (which go nowhere now) before the io_context goes.
    std::unique_lock lock(impl_->shared.mutex);
    impl_->shared.storeCallsDone.wait_for(lock, 30s, [this] { return impl_->shared.storeCalls == 0; });
}

}  // namespace scoreboard
