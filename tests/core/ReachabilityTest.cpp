#include <QTest>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <future>

#include "CoreTestSupport.h"
#include "LoopbackServer.h"
#include "SilentServer.h"
#include "base/Http.h"
#include "core/Reachability.h"
#include "core/UserDefaults.h"

namespace {

// Answers for one name only, with the loopback address; every other name
// does not resolve. Nothing reaches the system's resolver.
Reachability::Resolver loopbackOnlyFor(const std::string& name) {
    return [name](const std::string& host, const std::string& port) {
        std::vector<Reachability::Address> out;
        if (host != name) return out;
        Reachability::Address address;
        auto* in = reinterpret_cast<sockaddr_in*>(&address.storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.length = sizeof(sockaddr_in);
        out.push_back(address);
        return out;
    };
}

class ReachabilityTest : public ::testing::Test {
protected:
    void SetUp() override { testApp(); }
    void TearDown() override {
        Reachability::shared()->stop();
        // No check of this test may land in the next test's settings.
        EXPECT_TRUE(QTest::qWaitFor([] { return !Reachability::shared()->isChecking(); }, 5000));
        Reachability::setResolver(nullptr);
    }
    testsupport::ScopedHome home;
    testsupport::LoopbackServer service;
};

TEST_F(ReachabilityTest, ReachableOnlyWhenTheServiceHostResolvesAndAnswers) {
    Reachability::setResolver(loopbackOnlyFor("service.flashwren.test"));
    const std::string port = std::to_string(service.port());
    EXPECT_TRUE(Reachability::checkNow(QString::fromStdString("http://service.flashwren.test:" + port)));
    // A route to the world may exist, but a name that does not resolve means offline.
    EXPECT_FALSE(Reachability::checkNow(QString::fromStdString("http://booth.invalid:" + port)));
    service.stop();
    EXPECT_FALSE(Reachability::checkNow(QString::fromStdString("http://service.flashwren.test:" + port)))
        << "nothing answers on the port";
    EXPECT_FALSE(Reachability::checkNow(QString())) << "no address configured";
}

TEST_F(ReachabilityTest, TheServiceAddressComesFromTheSettings) {
    UserDefaults::standard().set("ReachabilityURL", "http://127.0.0.1:" + std::to_string(service.port()));
    EXPECT_TRUE(Reachability::checkNow()) << "the real resolver takes a literal address";
    UserDefaults::standard().remove("ReachabilityURL");
    EXPECT_FALSE(Reachability::serviceURL().isEmpty()) << "the application names its service";
}

TEST_F(ReachabilityTest, TheLastRunsValueStandsForNothingUntilAFirstCheck) {
    auto& defaults = UserDefaults::standard();
    defaults.set("IS_INTERNET_RECHABLE", "YES");  // as the last run left it
    defaults.set("ReachabilityURL", "http://service.flashwren.test:" + std::to_string(service.port()));
    std::promise<void> release;
    auto released = release.get_future().share();
    auto answer = loopbackOnlyFor("service.flashwren.test");
    Reachability::setResolver([released, answer](const std::string& host, const std::string& port) {
        released.wait();
        return answer(host, port);
    });
    Reachability::shared()->start(60);
    EXPECT_EQ(defaults.string("IS_INTERNET_RECHABLE"), "NO");
    EXPECT_TRUE(QTest::qWaitFor([] { return Reachability::shared()->isChecking(); }, 2000))
        << "the check runs off the interface thread";
    release.set_value();
    EXPECT_TRUE(QTest::qWaitFor([&] { return defaults.string("IS_INTERNET_RECHABLE") == "YES"; }, 5000));
}

TEST_F(ReachabilityTest, AServiceThatGoesAwayIsSeenAtTheNextCheck) {
    auto& defaults = UserDefaults::standard();
    defaults.set("ReachabilityURL", "http://127.0.0.1:" + std::to_string(service.port()));
    Reachability::shared()->start(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return defaults.string("IS_INTERNET_RECHABLE") == "YES"; }, 5000));
    service.stop();
    EXPECT_TRUE(QTest::qWaitFor([&] { return defaults.string("IS_INTERNET_RECHABLE") == "NO"; }, 5000));
}

TEST_F(ReachabilityTest, AServiceThatTakesNoConnectionInTimeIsReachableOnlyWhileTheBoothsRequestsMove) {
    testsupport::SilentServer busy(true);
    EXPECT_EQ(Reachability::probe(QString::fromStdString(busy.baseUrl()), std::chrono::milliseconds(300)),
              Reachability::Answer::NoAnswer);
    auto& defaults = UserDefaults::standard();
    defaults.set("ReachabilityURL", "http://127.0.0.1:" + std::to_string(service.port()));
    Reachability::shared()->start(1, std::chrono::milliseconds(300));
    ASSERT_TRUE(QTest::qWaitFor([&] { return defaults.string("IS_INTERNET_RECHABLE") == "YES"; }, 5000));
    defaults.set("ReachabilityURL", busy.baseUrl());
    EXPECT_TRUE(QTest::qWaitFor([&] { return defaults.string("IS_INTERNET_RECHABLE") == "NO"; }, 5000))
        << "nothing of the booth's moves: no answer is no line";

    // One of the booth's uploads goes, slowly, over the same line.
    service.setReading(32 * 1024);
    base::HttpRequest upload;
    upload.method = "POST";
    upload.url = service.baseUrl() + "/upload";
    upload.body = std::string(96 * 1024, 'x');
    upload.sendSilence = std::chrono::seconds(5);
    auto moving = std::async(std::launch::async, [&] { return base::httpPerform(upload); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return defaults.string("IS_INTERNET_RECHABLE") == "YES"; }, 5000))
        << "a busy line is not taken for no line";
    EXPECT_TRUE(moving.get().completed());
}

}  // namespace
