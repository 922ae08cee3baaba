#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>

#include "GalleryTestEnv.h"
#include "base/AppInfo.h"
#include "base/Scheduler.h"
#include "core/UserDefaults.h"
#include "gallery/ManageHTTPServer.h"
#include "gallery/PostHTTPServerUtilis.h"
#include "gallery/UDPBroadcaster.h"

namespace {

// A UDP socket on 127.0.0.1 that collects the announcements.
class Listener {
public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd_); }
    int port() const { return port_; }
    // The next datagram within `ms`, or none.
    std::optional<std::string> receive(int ms = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return std::nullopt;
        char buf[2048];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0) return std::nullopt;
        return std::string(buf, size_t(n));
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

int openDescriptors() {
    int count = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (dirent* e = ::readdir(d)) count += e->d_name[0] != '.';
    ::closedir(d);
    return count;
}

class GalleryAnnouncement : public ::testing::Test {
protected:
    void SetUp() override {
        gallerytest::ensureEnvironment();
        base::AppInfo::shared().load(FLASHWREN_SOURCE_DIR "/resources");
        UserDefaults::standard().set("unique_random_user_id", "123456");
        clock = std::make_shared<base::ManualTimeSource>();
        scheduler = std::make_unique<base::Scheduler>(clock);
    }

    ManageHTTPServer::Options options(std::map<std::string, std::string> addresses) {
        ManageHTTPServer::Options o;
        o.bindAddress = "127.0.0.1";
        int port = 0;
        ::close(gallerytest::listenOn(0, &port));
        o.firstPort = port;
        o.lastPort = port + 20;
        o.broadcastAddress = "127.0.0.1";
        o.broadcastPort = listener.port();
        o.scheduler = scheduler.get();
        o.localAddresses = [addresses] { return addresses; };
        o.trackEvent = [](const std::string&, const std::string&) {};
        return o;
    }

    Listener listener;
    std::shared_ptr<base::ManualTimeSource> clock;
    std::unique_ptr<base::Scheduler> scheduler;
};

TEST_F(GalleryAnnouncement, PayloadIsCompactJsonOfThreeStringsInOrder) {
    std::string payload = ManageHTTPServer::announcementPayload("1501", "5.2", "anon.mac.123456");
    EXPECT_EQ(payload, R"({"port":"1501","version":"5.2","serial":"anon.mac.123456"})");
    EXPECT_EQ(payload.size(), 58u);
}

TEST_F(GalleryAnnouncement, AnnouncesAtStartThenEveryThreeSecondsUntilStopped) {
    ManageHTTPServer server(options({{"lo", "127.0.0.1"}}));
    ASSERT_TRUE(server.startHTTPServer());
    const std::string expected = "{\"port\":\"" + std::to_string(server.port()) + "\",\"version\":\"" +
                                 base::AppInfo::shared().shortVersion() + "\",\"serial\":\"anon.mac.123456\"}";
    EXPECT_EQ(listener.receive().value_or(""), expected);
    EXPECT_FALSE(listener.receive(50));

    clock->advance(std::chrono::milliseconds(2900));
    EXPECT_FALSE(listener.receive(50));
    clock->advance(std::chrono::milliseconds(100));
    EXPECT_EQ(listener.receive().value_or(""), expected);
    clock->advance(std::chrono::seconds(3));
    EXPECT_EQ(listener.receive().value_or(""), expected);

    server.stop();
    clock->advance(std::chrono::seconds(9));
    EXPECT_FALSE(listener.receive(50));
}

TEST_F(GalleryAnnouncement, SendsNothingWithoutANetworkAddressOrWithoutAServer) {
    ManageHTTPServer server(options({}));
    ASSERT_TRUE(server.startHTTPServer());
    clock->advance(std::chrono::seconds(6));
    EXPECT_FALSE(listener.receive(100));
    server.stop();

    // A server that never started (its only port taken) is never announced.
    int blocker = gallerytest::listenOn(0);
    auto o = options({{"lo", "127.0.0.1"}});
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&a), &len);
    o.firstPort = o.lastPort = ntohs(a.sin_port);
    ManageHTTPServer refused(o);
    EXPECT_FALSE(refused.startHTTPServer());
    EXPECT_EQ(refused.broadcastMyDetails(), 0);
    clock->advance(std::chrono::seconds(6));
    EXPECT_FALSE(listener.receive(100));
    ::close(blocker);
}

TEST_F(GalleryAnnouncement, LocalAddressTableLeavesOutLoopbackAndNamelessInterfaces) {
    auto table = PostHTTPServerUtilis::filterLocalAddresses(
        {{"lo", "127.0.0.1"}, {"eth0", "10.1.2.3"}, {"", "10.9.9.9"}, {"wlan0", "192.168.1.4"},
         {"eth0", "10.1.2.4"}, {"lo2", "127.0.1.1"}});
    EXPECT_EQ(table, (std::map<std::string, std::string>{{"eth0", "10.1.2.4"}, {"wlan0", "192.168.1.4"}}));
    for (const auto& [name, address] : PostHTTPServerUtilis::getLocalIpAddress())
        EXPECT_NE(address.rfind("127.0", 0), 0u) << name;
}

TEST_F(GalleryAnnouncement, SendingLeavesNoSocketOpenAndRefusesEmptyInput) {
    UDPBroadcaster broadcaster;
    EXPECT_FALSE(broadcaster.send("", "127.0.0.1", listener.port()));
    EXPECT_FALSE(broadcaster.send("x", "", listener.port()));
    // The settings writer opens a file of its own a moment after a change:
    // written now, it has nothing left to write while the sockets are counted.
    ASSERT_TRUE(UserDefaults::standard().synchronize());
    int before = openDescriptors();
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(broadcaster.send("ping", "127.0.0.1", listener.port(), "127.0.0.1"));
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(listener.receive().value_or(""), "ping");
}

}  // namespace
