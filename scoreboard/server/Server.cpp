#include "server/Server.h"

#include "server/Connection.h"
#include "server/Notify.h"

#include "SafeText.h"
#include "http/Log.h"

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
#include <functional>
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

// Descriptors kept back from connections: the database, its log, readers.
constexpr int kReservedDescriptors = 64;
constexpr auto kAcceptRetry = 50ms;

class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(net::io_context& ioc, const Tcp::endpoint& endpoint, Shared& shared, bool metricsOnly = false)
        : ioc_(ioc),
          acceptor_(net::make_strand(ioc)),
          retry_(acceptor_.get_executor()),
          shared_(shared),
          metricsOnly_(metricsOnly) {
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
            if (failures_++ == 0) LogEvent(LogLevel::Error, "accept: " + ec.message() + "; pausing accepts");
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
            std::make_shared<Connection>(std::move(socket), shared_, std::move(peer), std::move(slot), metricsOnly_)
                ->Run();
        }
        DoAccept();
    }

    // One log line per address and burst, not one per connection.
    void NoteRefused(const std::string& peer) {
        const auto now = std::chrono::steady_clock::now();
        ++refused_;
        if (peer == lastRefused_ && now - lastRefusedLog_ < 10s) return;
        LogEvent(LogLevel::Warning, LogSafe(peer, 64) + " connection refused: too many open (" +
                                        std::to_string(refused_) + " refused so far)");
        lastRefused_ = peer;
        lastRefusedLog_ = now;
    }

    net::io_context& ioc_;
    Tcp::acceptor acceptor_;
    net::steady_timer retry_;
    Shared& shared_;
    bool metricsOnly_;
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
          errorTimer(net::make_strand(ioc)),
          threads(std::max(1, config.threads)) {}

    // The store-error run's count lines, on this io_context: one timer, as a
    // run has one tick on its way at a time. Stopped with the listener, so
    // that a run going on does not hold the stop up.
    void ScheduleErrorLine(std::chrono::milliseconds after, std::function<void()> tick) {
        net::post(errorTimer.get_executor(), [this, after, tick = std::move(tick)]() mutable {
            if (timersStopped) return;
            errorTimer.expires_after(after);
            errorTimer.async_wait([tick = std::move(tick)](beast::error_code ec) {
                if (!ec) tick();
            });
        });
    }
    void StopErrorLines() {
        net::post(errorTimer.get_executor(), [this] {
            timersStopped = true;
            errorTimer.cancel();
        });
    }

    void OnSignal(beast::error_code ec, int signal) {
        if (ec) return;
        bool first = false;
        bool idle = false;
        std::vector<std::shared_ptr<Connection>> open;
        {
            std::lock_guard lock(shared.mutex);
            first = !shared.stopping;
            shared.stopping = true;
            idle = shared.live.empty();
            for (auto& [ptr, weak] : shared.live)
                if (auto s = weak.lock()) open.push_back(std::move(s));
        }
        if (!first) {
            LogLine("second signal: stopping now");
            ioc.stop();
            return;
        }
        NotifyServiceManager("STOPPING=1");
        LogLine(std::string("signal ") + std::to_string(signal) + ": finishing " + std::to_string(open.size()) +
                " open connection(s), then stopping");
        listener->Stop();
        if (metricsListener) metricsListener->Stop();
        StopErrorLines();
        for (auto& s : open) s->Stop();
        // Keep listening for a second signal until the last connection is gone.
        if (idle)
            signals.cancel();
        else
            signals.async_wait([this](beast::error_code e, int s) { OnSignal(e, s); });
    }

    net::io_context ioc;
    Shared shared;
    net::signal_set signals;
    std::shared_ptr<Listener> listener;
    std::shared_ptr<Listener> metricsListener;
    net::steady_timer errorTimer;  // on its own strand
    bool timersStopped = false;    // on errorTimer's strand
    int threads;
};

Server::Server(const ServerConfig& config) : impl_(std::make_unique<Impl>(config)) {
    impl_->shared.onIdle = [this] { net::post(impl_->signals.get_executor(), [this] { impl_->signals.cancel(); }); };
}

Server::~Server() = default;

unsigned short Server::Port() const { return impl_->listener->Port(); }

void Server::ListenForMetrics(const Tcp::endpoint& endpoint) {
    impl_->metricsListener = std::make_shared<Listener>(impl_->ioc, endpoint, impl_->shared, true);
}

unsigned short Server::MetricsPort() const { return impl_->metricsListener ? impl_->metricsListener->Port() : 0; }

void Server::Run(HandlerDeps& deps) {
    impl_->shared.deps = &deps;
    impl_->signals.async_wait([this](beast::error_code ec, int s) { impl_->OnSignal(ec, s); });
    impl_->listener->Run();
    if (impl_->metricsListener) impl_->metricsListener->Run();
    TimeStoreErrorLines([this](std::chrono::milliseconds after, std::function<void()> tick) {
        impl_->ScheduleErrorLine(after, std::move(tick));
    });

    // A handler that throws must not take the server down with it.
    const auto worker = [this] {
        for (;;) {
            try {
                impl_->ioc.run();
                return;
            } catch (const std::exception& e) {
                LogEvent(LogLevel::Error, std::string("unhandled: ") + e.what());
            }
        }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < impl_->threads; ++i) pool.emplace_back(worker);
    worker();
    for (auto& t : pool) t.join();
    // After a second signal, posts may still be on their way to disk: wait
    // for their answers (which go nowhere now) before the io_context goes.
    {
        std::unique_lock lock(impl_->shared.mutex);
        impl_->shared.storeCallsDone.wait_for(lock, 30s, [this] { return impl_->shared.storeCalls == 0; });
    }
    // The io_context goes with this server; runs of failures still to come
    // log their starts and ends only.
    TimeStoreErrorLines(nullptr);
}

}  // namespace scoreboard
