#include "gallery/ManageHTTPServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <spdlog/spdlog.h>

#include "base/AppInfo.h"
#include "core/WrenUtils.h"
#include "sharing/Analytics.h"
#include "gallery/MyHTTPConnection.h"
#include "gallery/PostHTTPServerUtilis.h"
#include "gallery/UDPBroadcaster.h"

namespace {
ManageHTTPServer::Options& sharedOptions() {
    static auto* options = new ManageHTTPServer::Options();
    return *options;
}
}  // namespace

void ManageHTTPServer::setSharedOptions(Options options) { sharedOptions() = std::move(options); }

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
    for (int port = options_.firstPort; port <= options_.lastPort; ++port) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 512) != 0) {
            int error = errno;
            ::close(fd);
            if (error == EADDRINUSE) {
                spdlog::error("ManageHTTPServer: Can't start http server on {}. Trying next port.", port);
                continue;
            }
            spdlog::error("ManageHTTPServer: Error starting HTTP Server: {}", std::strerror(error));
            return false;
        }
        listenFd_ = fd;
        port_ = port;
        stopping_ = false;
        running_ = true;
        acceptThread_ = std::thread([this] { acceptLoop(); });
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
        else Analytics::trackEventWithCategory(QStringLiteral("glimmerly"), QStringLiteral("started"), {}, {});
        return true;
    }
    spdlog::error("ManageHTTPServer: no free port from {} to {}; the gallery server is off", options_.firstPort,
                  options_.lastPort);
    return false;
}

void ManageHTTPServer::stop() {
    if (!running_) return;
    base::Scheduler* scheduler = options_.scheduler ? options_.scheduler : &base::Scheduler::shared();
    scheduler->cancel(announceTimer_);
    if (announcer_) {
        std::lock_guard lock(announcer_->mutex);
        announcer_->server = nullptr;
    }
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    if (acceptThread_.joinable()) acceptThread_.join();
    ::close(listenFd_);
    listenFd_ = -1;
    std::unique_lock lock(mutex_);
    for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    idle_.wait(lock, [this] { return connections_.empty(); });
    running_ = false;
}

std::size_t ManageHTTPServer::openConnections() {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

void ManageHTTPServer::acceptLoop() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (stopping_) {
            if (fd >= 0) ::close(fd);
            return;
        }
        if (fd < 0) {
            int error = errno;
            if (error == EINVAL || error == EBADF) return;
            if (error == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        {
            std::lock_guard lock(mutex_);
            if (connections_.size() >= options_.maxConnections) {
                MyHTTPConnection::sendResponse(fd, MyHTTPDataResponse({}, 503), false, false);
                ::close(fd);
                continue;
            }
            connections_.insert(fd);
        }
        try {
            std::thread([this, fd] { serve(fd); }).detach();
        } catch (const std::system_error& e) {
            spdlog::error("ManageHTTPServer: cannot start a connection thread: {}", e.what());
            std::lock_guard lock(mutex_);
            connections_.erase(fd);
            ::close(fd);
            idle_.notify_all();
        }
    }
}

void ManageHTTPServer::serve(int fd) {
    // sendfile() has no MSG_NOSIGNAL: a client that goes away mid-download
    // raises SIGPIPE on this thread. Blocked here, it stays pending on the
    // thread and is discarded when the thread ends.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    {
        MyHTTPConnection connection(fd, thumbnails_);
        connection.run();
    }
    std::lock_guard lock(mutex_);
    connections_.erase(fd);
    ::close(fd);
    idle_.notify_all();
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
