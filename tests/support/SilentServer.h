#pragma once
// A peer on 127.0.0.1 and a free port that takes connections and never
// answers: a service that hangs. Going away resets what it was holding.
// With `queueFull` its queue of connections is full from the start: a new
// connection is neither taken nor refused, as on a line too busy to carry it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace testsupport {

class SilentServer {
public:
    explicit SilentServer(bool queueFull = false) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        auto* name = reinterpret_cast<sockaddr*>(&address);
        if (::bind(fd_, name, size) == 0 && ::listen(fd_, queueFull ? 0 : 64) == 0 &&
            ::getsockname(fd_, name, &size) == 0 && (!queueFull || ::connect(queued_, name, size) == 0))
            port_ = ntohs(address.sin_port);
    }
    ~SilentServer() {
        ::close(queued_);
        ::close(fd_);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    bool listening() const { return port_ != 0; }
    int port() const { return port_; }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int queued_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
};

}  // namespace testsupport
