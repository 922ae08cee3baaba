// The tests' own server: a connection a client keeps open between requests
// holds the server's stop up no longer than it takes to notice the stop.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "LoopbackServer.h"

namespace {

// A client connection to the server that speaks plain HTTP/1.1 by hand.
struct Client {
    int fd = -1;
    explicit Client(std::uint16_t port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~Client() {
        if (fd >= 0) ::close(fd);
    }
    // Sends a GET and reads until the whole (empty-bodied) answer is in.
    std::string get(const std::string& path) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return {};
        std::string answer;
        while (answer.find("\r\n\r\n") == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) break;
            char buffer[1024];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        return answer;
    }
};

TEST(LoopbackServer, AnIdleKeptAliveConnectionServesAgainAndDoesNotHoldTheStopUp) {
    testsupport::LoopbackServer server;
    Client client(server.port());
    ASSERT_GE(client.fd, 0);
    EXPECT_EQ(client.get("/first").rfind("HTTP/1.1 200", 0), 0u);
    // Idle for a while on the same connection, then a second request on it.
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 300);
    EXPECT_EQ(client.get("/second").rfind("HTTP/1.1 200", 0), 0u);
    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(server.requests()[1].path, "/second");

    // The client stays connected and silent: the stop ends its worker's wait.
    auto stopped = std::async(std::launch::async, [&] { server.stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "stop() waited for the idle connection's next request";
}

}  // namespace
