#include "server/Connection.h"

#include "SafeText.h"
#include "http/Log.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <cstdio>

namespace scoreboard {
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
// After answering and shutting down our side, read what the client still
// sends for a while, so that closing does not reset the connection before it
// has read our answer.
constexpr auto kDrainTimeout = 2s;
constexpr std::size_t kMaxDrainBytes = 64 * 1024;

}  // namespace

Connection::Connection(Tcp::socket&& socket, Shared& shared, std::string peer, std::string slot, bool metricsOnly)
    : stream_(std::move(socket)),
      shared_(shared),
      buffer_(kMaxBufferBytes),
      peer_(std::move(peer)),
      slot_(std::move(slot)),
      metricsOnly_(metricsOnly) {
    if (shared_.deps->metrics) shared_.deps->metrics->ConnectionOpened();
}

Connection::~Connection() {
    if (shared_.deps->metrics) shared_.deps->metrics->ConnectionClosed();
    EndRequest();
    shared_.Release(slot_, true);
    std::function<void()> idle;
    {
        std::lock_guard lock(shared_.mutex);
        shared_.live.erase(this);
        if (shared_.stopping && shared_.live.empty()) idle = shared_.onIdle;
    }
    if (idle) idle();
}

void Connection::Run() {
    bool stopping = false;
    {
        std::lock_guard lock(shared_.mutex);
        shared_.live.emplace(this, weak_from_this());
        stopping = shared_.stopping;
    }
    if (stopping) Stop();
    net::dispatch(stream_.get_executor(), beast::bind_front_handler(&Connection::DoRead, shared_from_this()));
}

void Connection::Stop() {
    net::post(stream_.get_executor(), beast::bind_front_handler(&Connection::OnStop, shared_from_this()));
}

void Connection::OnStop() {
    stopping_ = true;
    if (waiting_) stream_.cancel();  // no request under way: drop the connection now
}

void Connection::DoRead() {
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

void Connection::ReadHeader() {
    stream_.expires_after(kReadTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            beast::bind_front_handler(&Connection::OnHeader, shared_from_this()));
}

void Connection::OnHeader(beast::error_code ec, std::size_t) {
    waiting_ = false;
    started_ = std::chrono::steady_clock::now();
    method_ = "-";
    target_ = "-";
    client_ = peer_;
    if (ec) return OnReadError(ec);

    const auto& header = parser_->get();
    method_ = std::string(header.method_string());
    target_ = std::string(header.target());
    if (shared_.trustProxy && !AdmitForwarded(header))
        return Send(ErrorResponse(http::status::service_unavailable, header.version(), false,
                                  "too many requests under way from this address"));
    if (auto refusal = ScreenRequest(header.base(), *shared_.deps, client_)) return Send(std::move(*refusal));

    if (parser_->is_done()) return OnBody({}, 0);
    if (beast::iequals(header[http::field::expect], "100-continue")) return DoContinue(header.version());
    DoReadBody();
}

bool Connection::AdmitForwarded(const http::request_header<>& header) {
    const std::string_view real = header["X-Real-IP"];
    if (!real.empty()) client_ = std::string(real.substr(0, 64));
    // Every connection is the proxy's: the cap counts each player's requests
    // under way instead.
    if (!shared_.Admit(client_, false)) return false;
    requestSlot_ = client_;
    return true;
}

void Connection::DoContinue(unsigned version) {
    continue_ = {http::status::continue_, version};
    stream_.expires_after(kWriteTimeout);
    http::async_write(stream_, continue_, [self = shared_from_this()](beast::error_code e, std::size_t) {
        if (e) return self->Fail(e, "write");
        self->DoReadBody();
    });
}

void Connection::DoReadBody() {
    stream_.expires_after(kReadTimeout);
    http::async_read(stream_, buffer_, *parser_, beast::bind_front_handler(&Connection::OnBody, shared_from_this()));
}

void Connection::OnBody(beast::error_code ec, std::size_t) {
    if (ec) return OnReadError(ec);
    const Request req = parser_->release();
    if (metricsOnly_) return Send(HandleMetricsRequest(req, *shared_.deps));
    // A post is answered from the store's writer thread once it is on
    // disk; back on this connection's strand to write.
    {
        std::lock_guard lock(shared_.mutex);
        ++shared_.storeCalls;
    }
    HandleRequest(req, *shared_.deps, [self = shared_from_this()](Response res) mutable {
        // The connection goes with the write, not with this callback: the
        // store may destroy the callback on its own thread later, after the
        // server and its io_context are gone, which a connection must not see.
        Shared& shared = self->shared_;
        const auto executor = self->stream_.get_executor();
        net::dispatch(executor,
                      [self = std::move(self), res = std::move(res)]() mutable { self->Send(std::move(res)); });
        std::lock_guard lock(shared.mutex);
        if (--shared.storeCalls == 0) shared.storeCallsDone.notify_all();
    });
}

void Connection::EndRequest() {
    if (!requestSlot_) return;
    shared_.Release(*requestSlot_, false);
    requestSlot_.reset();
}

void Connection::OnReadError(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == http::error::partial_message || ec == beast::error::timeout ||
        ec == net::error::operation_aborted)
        return DoClose();
    // A line longer than the buffer holds: a chunk size, extension or
    // trailer without end, had chunked bodies been read.
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
        return Send(
            ErrorResponse(http::status::request_header_fields_too_large, 11, false, "request headers are too large"));
    if (ec == http::error::body_limit)
        return Send(ErrorResponse(http::status::payload_too_large, 11, false,
                                  "body is larger than " + std::to_string(kMaxBodyBytes) + " bytes"));
    if (ec.category() == http::make_error_code(http::error::bad_target).category())
        return Send(ErrorResponse(http::status::bad_request, 11, false, "malformed request: " + ec.message()));
    Fail(ec, "read");
}

void Connection::Send(Response&& res) {
    res_ = std::move(res);
    // Counted before the client can read the answer, so that what it asks
    // next sees the count.
    if (auto* metrics = shared_.deps->metrics) {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started_;
        metrics->Request(method_, target_, res_.result_int(), took.count());
    }
    if (stopping_) res_.keep_alive(false);
    const bool keepAlive = res_.keep_alive();
    stream_.expires_after(kWriteTimeout);
    http::async_write(stream_, res_, beast::bind_front_handler(&Connection::OnWrite, shared_from_this(), keepAlive));
}

void Connection::OnWrite(bool keepAlive, beast::error_code ec, std::size_t) {
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - started_;
    // Probes come every few seconds and would drown the requests.
    if (!IsProbe(target_)) {
        const std::string client = LogSafe(client_, 64);
        const std::string method = LogSafe(method_, 16);
        const std::string target = LogSafe(target_);
        LogRequest({.client = client,
                    .method = method,
                    .target = target,
                    .status = res_.result_int(),
                    .durationMs = took.count(),
                    .writeFailed = static_cast<bool>(ec)});
    }
    EndRequest();
    if (ec) return Fail(ec, "write");
    res_ = {};
    if (!keepAlive) return DoClose();
    DoRead();
}

void Connection::DoClose() {
    beast::error_code ec;
    stream_.socket().shutdown(Tcp::socket::shutdown_send, ec);
    if (ec) return;
    stream_.expires_after(kDrainTimeout);
    stream_.async_read_some(net::buffer(drain_), beast::bind_front_handler(&Connection::OnDrain, shared_from_this()));
}

void Connection::OnDrain(beast::error_code ec, std::size_t n) {
    drained_ += n;
    if (ec || drained_ > kMaxDrainBytes) return;  // the socket closes with the connection
    stream_.async_read_some(net::buffer(drain_), beast::bind_front_handler(&Connection::OnDrain, shared_from_this()));
}

void Connection::Fail(beast::error_code ec, const char* what) {
    // A client may go away at any moment; that is no fault of ours.
    if (ec == net::error::operation_aborted || ec == beast::error::timeout || ec == net::error::connection_reset ||
        ec == net::error::broken_pipe || ec == net::error::eof)
        return;
    LogEvent(LogLevel::Warning, peer_ + " " + what + ": " + ec.message());
}

}  // namespace scoreboard
