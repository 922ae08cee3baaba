#pragma once
// Shared set-up of the gallery tests: a private home for the settings, a Qt
// application for the image plugins, and small socket helpers.
#include <QCoreApplication>
#include <QImage>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "TempDir.h"

namespace gallerytest {

inline void ensureEnvironment() {
    static testsupport::ScopedHome* home = new testsupport::ScopedHome();
    static int argc = 1;
    static char name[] = "test_gallery";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)home;
    (void)app;
}

// A TCP socket listening on 127.0.0.1:port (0: any free port); -1 on failure.
inline int listenOn(int port, int* chosen = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (chosen) *chosen = ntohs(a.sin_port);
    return fd;
}

inline bool writeJpeg(const std::string& path, int width, int height, QColor color = Qt::red) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    return image.save(QString::fromStdString(path), "JPG", 90);
}

// A TCP connection to 127.0.0.1:port from a chosen loopback address, so
// that tests can be several clients ("phones") at once; -1 on failure.
inline int connectFrom(const std::string& source, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct RawReply {
    int status = 0;  // 0: the connection ended before a whole reply
    std::string head;
    std::string body;
};

// Reads one reply (its Content-Length) within `ms` milliseconds; bytes of a
// further reply read with it are dropped, so pipelining tests read raw.
inline RawReply readReply(int fd, int ms = 5000) {
    RawReply reply;
    std::string got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    size_t headEnd = std::string::npos;
    size_t length = 0;
    for (;;) {
        if (headEnd == std::string::npos && (headEnd = got.find("\r\n\r\n")) != std::string::npos) {
            reply.head = got.substr(0, headEnd);
            auto at = reply.head.find("Content-Length: ");
            if (at == std::string::npos) at = reply.head.find("content-length: ");
            length = at == std::string::npos ? 0 : std::strtoull(reply.head.c_str() + at + 16, nullptr, 10);
        }
        if (headEnd != std::string::npos && got.size() >= headEnd + 4 + length) {
            reply.status = std::atoi(reply.head.c_str() + 9);
            reply.body = got.substr(headEnd + 4, length);
            return reply;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return reply;
        char buf[16384];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return reply;
        got.append(buf, size_t(n));
    }
}

// One GET on a fresh connection from `source`.
inline RawReply getFrom(const std::string& source, int port, const std::string& target, int ms = 5000) {
    int fd = connectFrom(source, port);
    if (fd < 0) return {};
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: booth\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    RawReply reply = readReply(fd, ms);
    ::close(fd);
    return reply;
}

// Waits up to `ms` for the peer to end the connection; true when it did.
inline bool closedByPeer(int fd, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return false;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

}  // namespace gallerytest
