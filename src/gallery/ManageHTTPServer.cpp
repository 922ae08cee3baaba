#include "gallery/ManageHTTPServer.h"

#include <pthread.h>
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <spdlog/spdlog.h>

#include "base/AppInfo.h"
#include "base/Executor.h"
#include "core/WrenUtils.h"
#include "gallery/MyHTTPConnection.h"
#include "gallery/PostHTTPServerUtilis.h"
#include "gallery/UDPBroadcaster.h"

namespace {

// A request body is never read: a small one is skipped so the connection
// can carry the next request, a larger one ends the connection after the reply.
constexpr unsigned long long kMaxDiscardedBody = 1024 * 1024;

ManageHTTPServer::Options& sharedOptions() {
    static auto* options = new ManageHTTPServer::Options();
    return *options;
}

unsigned coresAvailable() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return unsigned(std::max(1, CPU_COUNT(&set)));
}

// Desktops start programs with a soft limit of 1,024 descriptors; the
// connection limit needs more, and the hard limit usually allows it.
void raiseDescriptorLimit(std::size_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
    rlim_t target = std::min<rlim_t>(wanted, limit.rlim_max);
    if (target <= limit.rlim_cur) return;
    limit.rlim_cur = target;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        spdlog::warn("ManageHTTPServer: cannot raise the open-file limit to {}: {}", target, std::strerror(errno));
}

// The library's own messages. A crowd of clients over their limit makes one
// a connection, so at most ten a minute reach the log, then a count.
void libraryLog(void*, const char* format, va_list arguments) {
    static std::mutex mutex;
    static std::chrono::steady_clock::time_point windowStart;
    static int inWindow = 0;
    static int suppressed = 0;
    {
        std::lock_guard lock(mutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - windowStart >= std::chrono::minutes(1)) {
            if (suppressed) spdlog::debug("ManageHTTPServer: {} more messages of the HTTP library left out", suppressed);
            windowStart = now;
            inWindow = 0;
            suppressed = 0;
        }
        if (++inWindow > 10) {
            ++suppressed;
            return;
        }
    }
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    spdlog::debug("ManageHTTPServer: {}", line);
}

}  // namespace

struct ManageHTTPServer::Hooks {
    static void connectionChanged(void* cls, MHD_Connection* connection, void** socketContext,
                                  MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<ManageHTTPServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* state = new MyHTTPConnection();
            state->connection = connection;
            if (const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
                state->fd = info->connect_fd;
            state->headDeadline = MyHTTPConnection::Clock::now() + server->options_.requestHeadDeadline;
            *socketContext = state;
            std::lock_guard lock(server->mutex_);
            server->connections_.insert(state);
            return;
        }
        auto* state = static_cast<MyHTTPConnection*>(*socketContext);
        if (!state) return;
        {
            // The library closes the socket after this call: once the state
            // is out of the set, the watcher cannot touch a reused descriptor.
            std::lock_guard lock(server->mutex_);
            server->connections_.erase(state);
        }
        server->changed_.notify_all();
        delete state;
        *socketContext = nullptr;
    }

    // Called with the request target as sent, before the library decodes
    // it: routing needs the escapes as they came ("%2F" is not "/").
    static void* requestStarted(void*, const char* uri, MHD_Connection* connection) {
        const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* state = info ? static_cast<MyHTTPConnection*>(info->socket_context) : nullptr;
        if (state) {
            state->uri = uri ? uri : "";
            state->stage = MyHTTPConnection::Stage::Head;
        }
        return state;
    }

    static MHD_Result access(void* cls, MHD_Connection* connection, const char*, const char* method,
                             const char*, const char*, size_t* uploadSize, void** requestContext) {
        auto* server = static_cast<ManageHTTPServer*>(cls);
        auto* state = static_cast<MyHTTPConnection*>(*requestContext);
        if (!state) return MHD_NO;
        switch (state->stage) {
        case MyHTTPConnection::Stage::Head: {
            state->method = method ? method : "";
            // The library refuses a head that overflows its buffers; one that
            // fits them but exceeds the bound is refused here, alike.
            const auto* head = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
            if (head && head->header_size > server->options_.maxHeaderBytes) {
                state->closeAfterReply = true;
                server->queue(connection, *state, std::make_unique<MyHTTPDataResponse>(std::string(), 431));
                return MHD_YES;
            }
            const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
            const char* coding = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding");
            unsigned long long bodySize = 0;
            if (length) {
                char* end = nullptr;
                errno = 0;
                bodySize = std::strtoull(length, &end, 10);
                if (end == length || *end || errno) bodySize = ULLONG_MAX;
            }
            if (coding || bodySize > kMaxDiscardedBody) {
                // Answered before the body, which is never read: the
                // library closes the connection after the reply.
                state->closeAfterReply = true;
                server->answer(connection, *state);
                return MHD_YES;
            }
            // A reply queued on this first call would end the connection
            // too; the next call (once any body is skipped) answers.
            state->stage = MyHTTPConnection::Stage::Body;
            return MHD_YES;
        }
        case MyHTTPConnection::Stage::Body:
            if (*uploadSize > 0) {
                *uploadSize = 0;
                return MHD_YES;
            }
            server->answer(connection, *state);
            return MHD_YES;
        case MyHTTPConnection::Stage::Working:
            return MHD_YES;  // a worker is making the reply; it resumes us
        case MyHTTPConnection::Stage::Answered:
            *uploadSize = 0;  // a body after an early reply is dropped
            return MHD_YES;
        case MyHTTPConnection::Stage::Ready: {
            std::unique_ptr<MyHTTPDataResponse> ready;
            {
                std::lock_guard lock(server->mutex_);
                ready = std::move(state->ready);
            }
            server->queue(connection, *state, std::move(ready));
            return MHD_YES;
        }
        }
        return MHD_NO;
    }

    static void completed(void* cls, MHD_Connection*, void** requestContext, MHD_RequestTerminationCode) {
        auto* server = static_cast<ManageHTTPServer*>(cls);
        auto* state = static_cast<MyHTTPConnection*>(*requestContext);
        if (!state) return;
        // The next request on this connection gets a deadline of its own.
        if (state->corked) {
            int off = 0;
            ::setsockopt(state->fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
            state->corked = false;
        }
        std::lock_guard lock(server->mutex_);
        state->stage = MyHTTPConnection::Stage::Head;
        state->closeAfterReply = false;
        state->ready.reset();
        state->headDeadline = MyHTTPConnection::Clock::now() + server->options_.requestHeadDeadline;
    }
};

void ManageHTTPServer::setSharedOptions(Options options) { sharedOptions() = std::move(options); }

void ManageHTTPServer::setSharedTrackEvent(std::function<void(const std::string&, const std::string&)> trackEvent) {
    if (!sharedOptions().trackEvent) sharedOptions().trackEvent = std::move(trackEvent);
}

ManageHTTPServer& ManageHTTPServer::shared() {
    static auto* server = new ManageHTTPServer(sharedOptions());
    return *server;
}

void ManageHTTPServer::initHTTPServer() {
    static std::once_flag once;
    std::call_once(once, [] { shared().startHTTPServer(); });
}

ManageHTTPServer::ManageHTTPServer() : ManageHTTPServer(Options{}) {}

ManageHTTPServer::ManageHTTPServer(Options options) : options_(std::move(options)) {}

ManageHTTPServer::~ManageHTTPServer() { stop(); }

bool ManageHTTPServer::startHTTPServer() {
    if (running_) return true;
    in_addr bindAddress{};
    if (::inet_pton(AF_INET, options_.bindAddress.c_str(), &bindAddress) != 1) {
        spdlog::error("ManageHTTPServer: Error starting HTTP Server: bad address {}", options_.bindAddress);
        return false;
    }
    raiseDescriptorLimit(options_.maxConnections + 256);
    for (int port = options_.firstPort; port <= options_.lastPort; ++port) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            spdlog::error("ManageHTTPServer: Error starting HTTP Server: {}", std::strerror(errno));
            return false;
        }
        // Address reuse only (never port sharing), so a port another program
        // listens on counts as taken.
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr = bindAddress;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1024) != 0) {
            int error = errno;
            ::close(fd);
            if (error == EADDRINUSE) {
                spdlog::error("ManageHTTPServer: Can't start http server on {}. Trying next port.", port);
                continue;
            }
            spdlog::error("ManageHTTPServer: Error starting HTTP Server: {}", std::strerror(error));
            return false;
        }
        if (!startDaemon(fd)) {
            ::close(fd);
            spdlog::error("ManageHTTPServer: Error starting HTTP Server: the HTTP library did not start");
            return false;
        }
        listenFd_ = fd;
        port_ = port;
        running_ = true;
        spdlog::info("ManageHTTPServer: gallery server started on port {}", port);

        PostHTTPServerUtilis::setUserSetting(std::to_string(port), "HTTP_SERVER_PORT");
        broadcastMyDetails();
        base::Scheduler* scheduler = options_.scheduler ? options_.scheduler : &base::Scheduler::shared();
        announcer_ = std::make_shared<Announcer>();
        announcer_->server = this;
        announceTimer_ = scheduler->every(options_.announceInterval, nullptr, [announcer = announcer_] {
            // The timer may fire while stop() runs: the announcer's lock keeps
            // the server alive for the duration of one announcement.
            std::lock_guard lock(announcer->mutex);
            if (announcer->server) announcer->server->broadcastMyDetails();
        });
        if (options_.trackEvent) options_.trackEvent("glimmerly", "started");
        return true;
    }
    spdlog::error("ManageHTTPServer: no free port from {} to {}; the gallery server is off", options_.firstPort,
                  options_.lastPort);
    return false;
}

bool ManageHTTPServer::startDaemon(int listenFd) {
    unsigned threads = options_.networkThreads ? options_.networkThreads : std::min(4u, coresAvailable());
    // The library keeps a request's head and its own buffers in one pool per
    // connection; a head that does not fit is answered 431.
    const size_t memory = std::max<size_t>(options_.maxHeaderBytes + 2048, 4096);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO;
    workers_ = std::make_unique<base::ThreadPool>(std::max(1u, options_.workerThreads), "gallery-http");
    {
        std::lock_guard lock(mutex_);
        watching_ = true;
    }
    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_EXTERNAL_LOGGER, intptr_t(libraryLog), nullptr},
        {MHD_OPTION_LISTEN_SOCKET, listenFd, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, intptr_t(options_.maxConnections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, intptr_t(options_.maxConnectionsPerAddress), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, intptr_t(std::max<long long>(1, options_.idleTimeout.count())), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t(memory), nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, intptr_t(&Hooks::connectionChanged), this},
        {MHD_OPTION_URI_LOG_CALLBACK, intptr_t(&Hooks::requestStarted), this},
        {MHD_OPTION_NOTIFY_COMPLETED, intptr_t(&Hooks::completed), this},
    };
    if (threads > 1) items.push_back({MHD_OPTION_THREAD_POOL_SIZE, intptr_t(threads), nullptr});
    items.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &Hooks::access, this, MHD_OPTION_ARRAY, items.data(),
                               MHD_OPTION_END);
    if (!daemon_) {
        std::lock_guard lock(mutex_);
        watching_ = false;
        workers_.reset();
        return false;
    }
    watcher_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "gallery-watch");
        watchRequestHeads();
    });
    return true;
}

void ManageHTTPServer::answer(MHD_Connection* connection, MyHTTPConnection& state) {
    MyHTTPConnection::Route route;
    try {
        route = MyHTTPConnection::routeRequest(state.method, state.uri, thumbnails_);
    } catch (const std::exception& e) {
        spdlog::error("MyHTTPConnection: request failed: {}", e.what());
    }
    bool deferred = false;
    {
        // The deadline covers the head and any body skipped after it.
        std::lock_guard lock(mutex_);
        state.headDeadline = MyHTTPConnection::Clock::time_point::max();
        if (route.work && watching_) {
            deferred = true;
            ++working_;
            state.stage = MyHTTPConnection::Stage::Working;
        }
    }
    if (!deferred) {
        // Stopping, no connection may be left suspended: a slow reply is
        // made here.
        if (route.work) {
            try {
                route.response = route.work();
            } catch (const std::exception& e) {
                spdlog::error("MyHTTPConnection: request failed: {}", e.what());
            }
        }
        queue(connection, state, std::move(route.response));
        return;
    }
    MHD_suspend_connection(connection);
    workers_->post([this, connection, &state, work = std::move(route.work)] {
        std::unique_ptr<MyHTTPDataResponse> reply;
        try {
            reply = work();
        } catch (const std::exception& e) {
            spdlog::error("MyHTTPConnection: request failed: {}", e.what());
        }
        {
            std::lock_guard lock(mutex_);
            state.ready = std::move(reply);
            state.stage = MyHTTPConnection::Stage::Ready;
        }
        MHD_resume_connection(connection);
        {
            std::lock_guard lock(mutex_);
            --working_;
        }
        changed_.notify_all();
    });
}

void ManageHTTPServer::queue(MHD_Connection* connection, MyHTTPConnection& state,
                             std::unique_ptr<MyHTTPDataResponse> reply) {
    state.stage = MyHTTPConnection::Stage::Answered;
    if (!reply) reply = std::make_unique<MyHTTPDataResponse>(std::string(), 404);
    MHD_Response* response = nullptr;
    if (reply->fileDescriptor() >= 0) {
        const std::uint64_t size = reply->contentLength();
        int fd = reply->releaseFileDescriptor();
        // Sent with sendfile() from the open file; the library closes it.
        response = MHD_create_response_from_fd64(size, fd);
        if (!response) ::close(fd);
        // The library writes the head, then the file: corked, a small
        // thumbnail leaves with its head in one segment instead of two
        // (half the wake-ups at the phone). Uncorked when the reply is done.
        int on = 1;
        if (response && state.fd >= 0 && ::setsockopt(state.fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0)
            state.corked = true;
    } else if (reply->data().empty()) {
        response = MHD_create_response_from_buffer(0, const_cast<char*>(""), MHD_RESPMEM_PERSISTENT);
    } else {
        // The body stays where it is (a rendered list is shared with the
        // cache) until the library has sent it.
        auto* holder = new std::shared_ptr<const std::string>(reply->sharedData());
        response = MHD_create_response_from_buffer_with_free_callback_cls(
            (*holder)->size(), const_cast<char*>((*holder)->data()),
            [](void* cls) { delete static_cast<std::shared_ptr<const std::string>*>(cls); }, holder);
        if (!response) delete holder;
    }
    if (!response) {
        spdlog::error("MyHTTPConnection: cannot make a reply");
        return;
    }
    for (const auto& [name, value] : reply->httpHeaders())
        MHD_add_response_header(response, name.c_str(), value.c_str());
    if (state.closeAfterReply) MHD_add_response_header(response, "Connection", "close");
    MHD_queue_response(connection, unsigned(reply->status()), response);
    MHD_destroy_response(response);
}

void ManageHTTPServer::watchRequestHeads() {
    const auto interval = std::clamp<std::chrono::milliseconds>(options_.requestHeadDeadline / 4,
                                                                std::chrono::milliseconds(20),
                                                                std::chrono::milliseconds(1000));
    std::unique_lock lock(mutex_);
    while (watching_) {
        changed_.wait_for(lock, interval);
        if (!watching_) break;
        const auto now = MyHTTPConnection::Clock::now();
        std::size_t closed = 0;
        for (MyHTTPConnection* state : connections_) {
            if (state->headDeadline > now || state->fd < 0) continue;
            // The library notices the closed socket and ends the connection
            // in its own thread.
            ::shutdown(state->fd, SHUT_RDWR);
            state->headDeadline = MyHTTPConnection::Clock::time_point::max();
            ++closed;
        }
        lateHeads_ += closed;
        if (closed) spdlog::debug("ManageHTTPServer: closed {} connections whose request did not arrive in time", closed);
    }
}

void ManageHTTPServer::stop() {
    if (!running_) return;
    base::Scheduler* scheduler = options_.scheduler ? options_.scheduler : &base::Scheduler::shared();
    scheduler->cancel(announceTimer_);
    if (announcer_) {
        std::lock_guard lock(announcer_->mutex);
        announcer_->server = nullptr;
    }
    // Replies being made finish and resume their connections: the library
    // must not be stopped with one suspended. The listener stays open until
    // the stop (the library's quiescing of a daemon polled by a pool of epoll
    // threads races those threads, and the library aborts the process when it
    // loses); connections that arrive meanwhile are answered in the network
    // threads.
    {
        // From here on replies are made in the network threads (see answer()).
        std::unique_lock lock(mutex_);
        watching_ = false;
        changed_.wait(lock, [this] { return working_ == 0; });
    }
    changed_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    // The library closes the listener it was given when it stops.
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    workers_.reset();
    listenFd_ = -1;
    running_ = false;
}

std::size_t ManageHTTPServer::openConnections() {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

std::size_t ManageHTTPServer::lateHeadsClosed() {
    std::lock_guard lock(mutex_);
    return lateHeads_;
}

std::string ManageHTTPServer::announcementPayload(const std::string& port, const std::string& version,
                                                  const std::string& serial) {
    return "{\"port\":\"" + port + "\",\"version\":\"" + version + "\",\"serial\":\"" + serial + "\"}";
}

int ManageHTTPServer::broadcastMyDetails() {
    if (!running_) return 0;
    auto addresses = options_.localAddresses ? options_.localAddresses() : PostHTTPServerUtilis::getLocalIpAddress();
    if (addresses.empty()) return 0;
    std::string payload = announcementPayload(PostHTTPServerUtilis::stringSetting("HTTP_SERVER_PORT"),
                                              base::AppInfo::shared().shortVersion(),
                                              WrenUtils::getSerialOrUniqueUserID().toStdString());
    int sent = 0;
    UDPBroadcaster broadcaster;
    for (const auto& [name, address] : addresses)
        if (broadcaster.send(payload, options_.broadcastAddress, options_.broadcastPort, address)) ++sent;
    return sent;
}
