// The Twitter PIN flow end to end: the log-in window on a loopback
// "Twitter" that serves the authorise page and the API.
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <nlohmann/json.hpp>
#include <QWidget>

#include <mutex>

#include "SilentServer.h"
#include "WebViewTestSupport.h"
#include "core/ProgressWindowController.h"
#include "sharing/TwitterSharing.h"

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;

namespace {

const bool kWebEngine = prepareWebEngine();

using TweetOutcomes = SharingOutcomes;

class TwitterSharingTest : public WebViewTest {
protected:
    void SetUp() override {
        WebViewTest::SetUp();
        set("TwitterAPIURL", server.baseUrl() + "/");
        set("TwitterConsumerKey", "ck");
        set("TwitterConsumerSecret", "cs");
        photo = writeFile("prints/IMG_5.jpg", "jpeg");
        server.setHandler([this](const RecordedRequest& r) {
            std::lock_guard lock(mutex);
            if (r.path == "/oauth/request_token") return requestTokenReply;
            if (r.path == "/oauth/authorize") return Reply{200, {{"Content-Type", "text/html"}}, authorizePage};
            if (r.path == "/oauth/access_token") return accessReply;
            if (r.path == "/1.1/statuses/update_with_media.json") return Reply{200, {}, R"({"id_str":"9"})"};
            return Reply{404, {}, ""};
        });
    }
    void start() {
        sharing = TwitterSharing::create(outcomes);
        sharing->postTweetWithText("At the booth!", QUrl::fromLocalFile(QString::fromStdString(photo)));
    }
    bool windowShown() {
        return pumpEventsUntil([&] {
            auto* c = sharing->twitterLoginWindowController();
            return c && c->window()->isVisible() && server.requestCount() >= 2;
        });
    }
    std::vector<RecordedRequest> requestsTo(const std::string& path) {
        std::vector<RecordedRequest> out;
        for (auto& r : server.requests())
            if (r.path == path) out.push_back(r);
        return out;
    }

    LoopbackServer server;
    std::mutex mutex;
    Reply requestTokenReply{200, {}, "oauth_token=rt&oauth_token_secret=rs&oauth_callback_confirmed=true"};
    Reply accessReply{200, {}, "oauth_token=at&oauth_token_secret=as&user_id=7&screen_name=ava_b"};
    std::string authorizePage = "<html><body><p>Authorise Flashwren?</p></body></html>";
    std::string photo;
    std::shared_ptr<TweetOutcomes> outcomes = std::make_shared<TweetOutcomes>();
    std::shared_ptr<TwitterSharing> sharing;
};

}  // namespace

TEST_F(TwitterSharingTest, APinOnThePageIsUsedAtOnceAndTheWindowCloses) {
    authorizePage = "<html><body><div id=\"oauth_pin\"><p>Your PIN: <kbd><code>4822917</code></kbd></p></div>"
                    "</body></html>";
    start();
    ASSERT_TRUE(pumpEventsUntil([&] { return outcomes->ended(); }));
    EXPECT_EQ(outcomes->events, (std::vector<std::string>{"start Twitter", "finished Twitter: Image Shared."}));
    EXPECT_EQ(sharing->userNameToWhomFileIsShared(), "ava_b");
    EXPECT_EQ(sharing->twitterLoginWindowController(), nullptr) << "the window is gone";
    auto access = requestsTo("/oauth/access_token");
    ASSERT_EQ(access.size(), 1u);
    EXPECT_NE(access[0].header("Authorization").value_or("").find("oauth_verifier=\"4822917\""), std::string::npos);
    EXPECT_EQ(requestsTo("/oauth/authorize").at(0).query, "oauth_token=rt");
    EXPECT_EQ(requestsTo("/1.1/statuses/update_with_media.json").size(), 1u);
}

TEST_F(TwitterSharingTest, ATypedPinIsSentOnceHoweverOftenShareIsPressed) {
    start();
    ASSERT_TRUE(windowShown());
    auto* controller = sharing->twitterLoginWindowController();
    controller->pinField()->setText(" 1234567 ");
    auto* share = controller->window()->findChild<QPushButton*>("ShareButton");
    ASSERT_NE(share, nullptr);
    share->click();
    share->click();
    ASSERT_TRUE(pumpEventsUntil([&] { return outcomes->ended(); }));
    settle();
    EXPECT_EQ(outcomes->events.back(), "finished Twitter: Image Shared.");
    EXPECT_EQ(requestsTo("/oauth/access_token").size(), 1u);
    EXPECT_EQ(requestsTo("/1.1/statuses/update_with_media.json").size(), 1u);
}

TEST_F(TwitterSharingTest, AnEmptyPinIsRefusedInPlaceAndClosingCancelsOnce) {
    start();
    ASSERT_TRUE(windowShown());
    auto* controller = sharing->twitterLoginWindowController();
    QWidget* window = controller->window();
    controller->userDidPressShareButton();
    EXPECT_EQ(ProgressWindowController::sharedPrgoressWindowController()->visibleMessage(), "Twitter PIN is required.");
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(outcomes->events.empty());

    window->close();
    ASSERT_TRUE(pumpEventsUntil([&] { return outcomes->ended(); }));
    settle();
    EXPECT_EQ(outcomes->events, (std::vector<std::string>{"failed Twitter: "}));
    EXPECT_TRUE(requestsTo("/oauth/access_token").empty());
}

// A guest who walks away from the log-in: the window closes as Close would.
TEST_F(TwitterSharingTest, ALogInLeftAloneClosesAsCloseWould) {
    IdleInterval idle(std::chrono::seconds(30));
    start();
    ASSERT_TRUE(windowShown());
    idle.set(std::chrono::milliseconds(300));
    QTest::mouseClick(sharing->twitterLoginWindowController()->pinField(), Qt::LeftButton);
    ASSERT_TRUE(pumpEventsUntil([&] { return outcomes->ended(); }, 20000)) << "the log-in stays open";
    settle();
    EXPECT_EQ(outcomes->events, (std::vector<std::string>{"failed Twitter: "}));
    EXPECT_GE(requestsTo("/oauth/authorize").size(), 1u) << "the window showed the page";
    EXPECT_TRUE(requestsTo("/oauth/access_token").empty());
    EXPECT_EQ(sharing->twitterLoginWindowController(), nullptr) << "the window is gone";
}

TEST_F(TwitterSharingTest, AFailedRequestTokenIsAFailureWithTwittersMessage) {
    requestTokenReply = {401, {}, R"({"errors":[{"code":32,"message":"Could not authenticate you."}]})"};
    start();
    ASSERT_TRUE(pumpEventsUntil([&] { return outcomes->ended(); }));
    EXPECT_EQ(outcomes->events, (std::vector<std::string>{"failed Twitter: Could not authenticate you."}));
    EXPECT_EQ(sharing->twitterLoginWindowController(), nullptr);
}

TEST_F(TwitterSharingTest, AFailedTypedPinClosesTheWindowAndNothingMoreIsReported) {
    accessReply = {401, {}, R"({"errors":[{"code":89,"message":"Invalid or expired token."}]})"};
    start();
    ASSERT_TRUE(windowShown());
    QPointer<QWidget> window = sharing->twitterLoginWindowController()->window();
    sharing->twitterLoginWindowController()->pinField()->setText("999");
    sharing->twitterLoginWindowController()->userDidPressShareButton();
    ASSERT_TRUE(pumpEventsUntil([&] { return outcomes->ended(); }));
    settle();
    EXPECT_EQ(outcomes->events,
              (std::vector<std::string>{"start Twitter", "failed Twitter: Invalid or expired token."}));
    EXPECT_TRUE(!window || !window->isVisible());
    if (window) window->close();
    settle();
    EXPECT_EQ(outcomes->events.size(), 2u);
}

// Twitter never hands out the request token: the guest sees the window load
// from the tap, and it ends in the idle wait as Close would.
TEST_F(TwitterSharingTest, ARequestTokenThatNeverComesEndsInTheIdleWait) {
    testsupport::SilentServer silent;
    ASSERT_TRUE(silent.listening());
    set("TwitterAPIURL", silent.baseUrl() + "/");
    IdleInterval idle(std::chrono::milliseconds(400));
    start();
    ASSERT_TRUE(pumpEventsUntil([&] {
        auto* c = sharing->twitterLoginWindowController();
        return c && c->window()->isVisible();
    })) << "nothing shows while the token is awaited";
    auto* loading = sharing->twitterLoginWindowController()->window()->findChild<QLabel*>("LoadingLabel");
    ASSERT_TRUE(loading);
    EXPECT_TRUE(loading->isVisible());
    ASSERT_TRUE(pumpEventsUntil([&] { return outcomes->ended(); }));
    settle();
    EXPECT_EQ(outcomes->events, (std::vector<std::string>{"failed Twitter: "}));
    EXPECT_EQ(sharing->twitterLoginWindowController(), nullptr) << "the window is gone";
}
