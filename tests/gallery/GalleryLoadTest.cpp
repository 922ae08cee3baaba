// The gallery under clients that misbehave or crowd in: small limits set
// here keep each case to a few seconds.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "GalleryTestEnv.h"
#include "TempDir.h"
#include "base/Files.h"
#include "core/UserDefaults.h"
#include "gallery/ManageHTTPServer.h"

namespace fs = std::filesystem;
using namespace gallerytest;
using namespace std::chrono_literals;

namespace {

class GalleryLoad : public ::testing::Test {
protected:
    void SetUp() override {
        ensureEnvironment();
        prints = dir.path() + "/prints";
        fs::create_directories(prints + "/thumb");
        UserDefaults::standard().set("PHOTO_FOLDER_PATH", prints);
        UserDefaults::standard().set("ALBUM_NAME", "");
        ASSERT_TRUE(writeJpeg(prints + "/IMG_0001.jpg", 60, 40));
        ASSERT_TRUE(writeJpeg(prints + "/thumb/IMG_0001.jpg", 175, 175, Qt::blue));
        thumb = base::readFile(prints + "/thumb/IMG_0001.jpg").value_or("");
    }

    ManageHTTPServer::Options options() {
        ManageHTTPServer::Options o;
        o.bindAddress = "127.0.0.1";
        int port = 0;
        ::close(listenOn(0, &port));
        o.firstPort = port;
        o.lastPort = port + 20;
        o.localAddresses = [] { return std::map<std::string, std::string>{}; };
        o.trackEvent = [](const std::string&, const std::string&) {};
        o.networkThreads = 2;
        return o;
    }

    void start(const ManageHTTPServer::Options& o) {
        server = std::make_unique<ManageHTTPServer>(o);
        ASSERT_TRUE(server->startHTTPServer());
    }

    testsupport::TempDir dir;
    std::string prints;
    std::string thumb;
    std::unique_ptr<ManageHTTPServer> server;
};

TEST_F(GalleryLoad, ClientsTricklingHeadersNeitherLockPhonesOutNorStayConnected) {
    auto o = options();
    o.maxConnectionsPerAddress = 4;
    o.requestHeadDeadline = 600ms;
    o.idleTimeout = 30s;  // only the head deadline can end a client that keeps trickling
    start(o);

    // Sixteen clients from 127.0.0.3 each send a header line every 100 ms
    // and never finish their request.
    std::vector<int> slow;
    for (int i = 0; i < 16; ++i) {
        int fd = connectFrom("127.0.0.3", server->port());
        ASSERT_GE(fd, 0);
        ::send(fd, "GET /list HTTP/1.1\r\n", 20, MSG_NOSIGNAL);
        slow.push_back(fd);
    }
    std::atomic<bool> done{false};
    std::vector<std::chrono::steady_clock::time_point> closedAt(slow.size());
    const auto started = std::chrono::steady_clock::now();
    std::thread trickle([&] {
        std::vector<bool> open(slow.size(), true);
        while (!done && std::chrono::steady_clock::now() - started < 4s) {
            for (size_t i = 0; i < slow.size(); ++i) {
                if (!open[i]) continue;
                char buf[256];
                ssize_t n = ::recv(slow[i], buf, sizeof buf, MSG_DONTWAIT);
                bool gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ||
                            ::send(slow[i], "X-Slow: 1\r\n", 11, MSG_NOSIGNAL) < 0;
                if (n > 0) gone = false;  // a reply would be a fault; the check below sees it
                if (gone) {
                    open[i] = false;
                    closedAt[i] = std::chrono::steady_clock::now();
                }
            }
            std::this_thread::sleep_for(100ms);
        }
    });

    // Meanwhile a phone at 127.0.0.2 polls the list.
    int answered = 0;
    for (int i = 0; i < 10; ++i) answered += getFrom("127.0.0.2", server->port(), "/list", 2000).status == 200;
    EXPECT_EQ(answered, 10);

    // Every slow client is cut off: those over the address's limit at once,
    // the others when their head is late, long before the idle time-out.
    for (int fd : slow) EXPECT_TRUE(closedByPeer(fd, 3000));
    done = true;
    trickle.join();
    for (auto at : closedAt) {
        if (at != std::chrono::steady_clock::time_point{}) {
            EXPECT_LT(at - started, 3s);
        }
    }
    EXPECT_GE(server->lateHeadsClosed(), 1u);
    for (int fd : slow) ::close(fd);
}

TEST_F(GalleryLoad, AnsweredConnectionsKeepAliveAndLongDownloadsAreNotCutOff) {
    std::string big(2 * 1024 * 1024, 'x');
    ASSERT_TRUE(base::writeFileAtomically(prints + "/BIG.jpg", big));
    auto o = options();
    o.requestHeadDeadline = 500ms;
    start(o);

    // A phone polling faster than the deadline keeps its connection.
    int phone = connectFrom("127.0.0.2", server->port());
    ASSERT_GE(phone, 0);
    const std::string poll = "GET /list HTTP/1.1\r\nHost: booth\r\n\r\n";
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(::send(phone, poll.data(), poll.size(), MSG_NOSIGNAL), ssize_t(poll.size()));
        ASSERT_EQ(readReply(phone, 2000).status, 200) << "poll " << i;
        std::this_thread::sleep_for(150ms);
    }
    ::close(phone);

    // A download read slowly for longer than the deadline arrives whole.
    int fd = connectFrom("127.0.0.2", server->port());
    int small = 16 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string get = "GET /BIG.jpg HTTP/1.1\r\nHost: booth\r\n\r\n";
    ::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
    std::string got;
    const auto until = std::chrono::steady_clock::now() + 8s;
    auto whole = [&] {
        auto at = got.find("\r\n\r\n");
        return at != std::string::npos && got.size() - at - 4 >= big.size();
    };
    while (!whole() && std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        char buf[32 * 1024];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, size_t(n));
        std::this_thread::sleep_for(10ms);
    }
    const auto took = std::chrono::steady_clock::now() - (until - 8s);
    ::close(fd);
    EXPECT_GT(took, o.requestHeadDeadline) << "the download must outlast the deadline to show anything";
    auto bodyAt = got.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos);
    EXPECT_EQ(got.size() - bodyAt - 4, big.size());
}

TEST_F(GalleryLoad, ManyConnectionsFromManyAddressesAreAllAnswered) {
    auto o = options();
    o.maxConnectionsPerAddress = 10;
    o.maxConnections = 200;
    start(o);

    // 100 connections, 10 from each of 10 addresses, all open before any asks.
    std::vector<int> clients;
    for (int a = 1; a <= 10; ++a)
        for (int i = 0; i < 10; ++i) {
            int fd = connectFrom("127.0.1." + std::to_string(a), server->port());
            ASSERT_GE(fd, 0);
            clients.push_back(fd);
        }
    const std::string get = "GET /thumb/IMG_0001.jpg HTTP/1.1\r\nHost: booth\r\n\r\n";
    for (int fd : clients) ASSERT_EQ(::send(fd, get.data(), get.size(), MSG_NOSIGNAL), ssize_t(get.size()));
    int answered = 0;
    for (int fd : clients) {
        RawReply reply = readReply(fd, 5000);
        answered += reply.status == 200 && reply.body == thumb;
    }
    EXPECT_EQ(answered, 100);

    // With all of them still open, one more from a full address is turned
    // away, while a phone elsewhere is served.
    int extra = connectFrom("127.0.1.1", server->port());
    ASSERT_GE(extra, 0);
    ::send(extra, get.data(), get.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readReply(extra, 2000).status, 0);
    ::close(extra);
    EXPECT_EQ(getFrom("127.0.0.2", server->port(), "/thumb/IMG_0001.jpg").body, thumb);
    for (int fd : clients) ::close(fd);
}

TEST_F(GalleryLoad, StoppingWhileThumbnailsAreBeingMadeAnswersOrClosesEveryClient) {
    ASSERT_TRUE(writeJpeg(prints + "/IMG_0009.jpg", 3000, 2000));
    for (int round = 0; round < 3; ++round) {
        fs::remove(prints + "/thumb/IMG_0009.jpg");
        start(options());
        std::vector<int> clients;
        const std::string get = "GET /thumb/IMG_0009.jpg HTTP/1.1\r\nHost: booth\r\n\r\n";
        for (int i = 0; i < 4; ++i) {
            int fd = connectFrom("127.0.0.2", server->port());
            ASSERT_GE(fd, 0);
            ::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
            clients.push_back(fd);
        }
        // Stopped as soon as the connections are in, while the thumbnail is
        // being made (a suspended connection must not outlive the library).
        const auto connected = std::chrono::steady_clock::now() + 10s;
        while (server->openConnections() < clients.size() && std::chrono::steady_clock::now() < connected)
            std::this_thread::sleep_for(2ms);
        server->stop();
        EXPECT_EQ(server->openConnections(), 0u);
        for (int fd : clients) {
            RawReply reply = readReply(fd, 2000);
            EXPECT_TRUE(reply.status == 200 || reply.status == 0) << reply.status;
            ::close(fd);
        }
        server.reset();
    }
}

TEST_F(GalleryLoad, ASecondRequestTrickledOnAKeptConnectionIsCutOffToo) {
    auto o = options();
    o.requestHeadDeadline = 400ms;
    o.idleTimeout = 30s;
    start(o);
    int fd = connectFrom("127.0.0.2", server->port());
    ASSERT_GE(fd, 0);
    const std::string get = "GET /list HTTP/1.1\r\nHost: booth\r\n\r\n";
    ::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
    ASSERT_EQ(readReply(fd, 2000).status, 200);
    // Then one header line every 100 ms, never finishing.
    const auto started = std::chrono::steady_clock::now();
    ::send(fd, "GET /list HTTP/1.1\r\n", 20, MSG_NOSIGNAL);
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - started < 3s) {
        closed = closedByPeer(fd, 100) || ::send(fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL) < 0;
    }
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    ::close(fd);
}

TEST_F(GalleryLoad, TheHeaderBoundIsASettingAndItsRefusalIs431) {
    auto o = options();
    o.maxHeaderBytes = 2048;
    start(o);
    auto ask = [&](size_t filler) {
        int fd = connectFrom("127.0.0.2", server->port());
        std::string request = "GET /list HTTP/1.1\r\nHost: booth\r\nX-Filler: " + std::string(filler, 'a') + "\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        RawReply reply = readReply(fd, 2000);
        ::close(fd);
        return reply.status;
    };
    EXPECT_EQ(ask(1000), 200);
    EXPECT_EQ(ask(3000), 431);
}

TEST_F(GalleryLoad, BodiesAreSkippedOrEndTheConnectionAfterTheReply) {
    start(options());
    // A small body is skipped and the connection carries the next request.
    int fd = connectFrom("127.0.0.2", server->port());
    const std::string small = "POST /list HTTP/1.1\r\nHost: b\r\nContent-Length: 5\r\n\r\nhello";
    ::send(fd, small.data(), small.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readReply(fd).status, 200);
    const std::string next = "GET /x.png HTTP/1.1\r\nHost: b\r\n\r\n";
    ::send(fd, next.data(), next.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readReply(fd).status, 404);
    ::close(fd);
    // A chunked or large one is answered, then the connection ends.
    for (std::string request : {std::string("POST /list HTTP/1.1\r\nHost: b\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"),
                                std::string("PUT /IMG_0001.jpg HTTP/1.1\r\nHost: b\r\nContent-Length: 99999999\r\n\r\nabc")}) {
        fd = connectFrom("127.0.0.2", server->port());
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        EXPECT_EQ(readReply(fd).status, 200) << request.substr(0, 20);
        EXPECT_TRUE(closedByPeer(fd, 3000)) << request.substr(0, 20);
        ::close(fd);
    }
}

}  // namespace

// Stopping must never end the program: the server is started and stopped
// many times while phones keep asking, some of them for thumbnails still to
// be made (their connections wait on a worker when the stop comes).
TEST_F(GalleryLoad, StartingAndStoppingManyTimesUnderLoadNeverEndsTheProgram) {
    for (int i = 2; i <= 9; ++i) ASSERT_TRUE(writeJpeg(prints + "/IMG_000" + std::to_string(i) + ".jpg", 400, 300));
    auto o = options();
    o.networkThreads = 16;
    std::atomic<int> port{0};
    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> phones;
    for (int p = 0; p < 8; ++p)
        phones.emplace_back([&, p] {
            const std::string source = "127.0.2." + std::to_string(p + 1);
            for (int n = 0; !done; ++n) {
                const int at = port;
                const std::string target = n % 3 == 0 ? "/list" : "/thumb/IMG_000" + std::to_string(2 + (n + p) % 8) + ".jpg";
                int fd = at ? connectFrom(source, at) : -1;
                if (fd < 0) {
                    std::this_thread::sleep_for(1ms);
                    continue;
                }
                // Two requests on one connection, the second left unread at times.
                const std::string get = "GET " + target + " HTTP/1.1\r\nHost: booth\r\n\r\n";
                ::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
                ::send(fd, get.data(), get.size(), MSG_NOSIGNAL);
                if (readReply(fd, 500).status == 200) ++answered;
                ::close(fd);
            }
        });
    auto openFiles = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    const auto filesBefore = openFiles();
    for (int round = 0; round < 300; ++round) {
        for (const auto& entry : fs::directory_iterator(prints + "/thumb"))
            if (entry.path().filename() != "IMG_0001.jpg") fs::remove(entry.path());
        start(o);
        port = server->port();
        std::this_thread::sleep_for(std::chrono::milliseconds(2 + round % 10));
        server->stop();
        port = 0;
        EXPECT_EQ(server->openConnections(), 0u);
        server.reset();
    }
    done = true;
    for (auto& phone : phones) phone.join();
    EXPECT_GT(answered.load(), 0);
    // Every listener was closed with its server.
    EXPECT_LT(openFiles(), filesBefore + 20);
}
