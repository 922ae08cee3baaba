#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QPointingDevice>
#include <QTest>
#include <QWebEngineView>
#include <QWidget>

#include <sys/stat.h>

#include "WebViewTestSupport.h"
#include "sharing/FacebookLogin.h"
#include "sharing/FacebookLoginWebController.h"

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;

namespace {

const bool kWebEngine = prepareWebEngine();

struct RecordingDelegate : FacebookLoginDelegate {
    std::vector<FacebookTokenResult> tokens;
    std::vector<FacebookRequestResult> requests;
    int shown = 0;
    int dismissed = 0;
    void tokenResult(const FacebookTokenResult& r) override { tokens.push_back(r); }
    void requestResult(const FacebookRequestResult& r) override { requests.push_back(r); }
    void willShowUINotification(FacebookLogin*) override { ++shown; }
    void didDismissUI(FacebookLogin*) override { ++dismissed; }
};

struct LoadingGrace {
    explicit LoadingGrace(std::chrono::milliseconds grace) { FacebookLoginWebController::setLoadingGrace(grace); }
    ~LoadingGrace() { FacebookLoginWebController::setLoadingGrace(FacebookLoginWebController::kLoadingGrace); }
};

class FacebookLoginTest : public WebViewTest {
protected:
    void SetUp() override {
        WebViewTest::SetUp();
        set("FacebookGraphURL", server.baseUrl() + "/");
        set("FacebookWebURL", server.baseUrl());
    }
    LoopbackServer server;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

}  // namespace

TEST_F(FacebookLoginTest, DialogThatRedirectsAtOnceKeepsTheTokenWithoutShowingTheWindow) {
    const std::string base = server.baseUrl();
    server.setHandler([base](const RecordedRequest& r) -> Reply {
        if (r.path == "/oauth/authorize")
            return {302,
                    {{"Location", base + "/connect/login_success.html#access_token=EAAB%2Btoken&expires_in=0"}},
                    ""};
        return {200, {{"Content-Type", "text/html"}}, "<html><body>Success</body></html>"};
    });
    LoadingGrace grace(std::chrono::seconds(30));  // however slowly the web engine starts here
    auto login = FacebookLogin::initWithApplicationID("184572910364518", delegate);
    login->getAccessTokenForPermissions({"publish_actions", "user_photos"}, false);
    ASSERT_TRUE(pumpEventsUntil([&] { return !delegate->tokens.empty(); }));

    EXPECT_TRUE(delegate->tokens[0].valid);
    EXPECT_EQ(login->accessToken().value_or(""), "EAAB%2Btoken");
    EXPECT_EQ(delegate->shown, 0);
    EXPECT_FALSE(login->webViewController()->window()->isVisible());
    auto dialog = server.requests().at(0);
    EXPECT_EQ(dialog.path, "/oauth/authorize");
    EXPECT_EQ(dialog.query, "client_id=184572910364518&redirect_uri=" + base +
                                "/connect/login_success.html&scope=publish_actions,user_photos&type=user_agent&"
                                "display=popup");
    EXPECT_EQ(defaults().string(FacebookLogin::kTokenKey), "EAAB%2Btoken");
    EXPECT_EQ(defaults().string(FacebookLogin::kPermissionsKey), "publish_actions,user_photos");
    EXPECT_FALSE(defaults().has(FacebookLogin::kExpiryKey)) << "expires_in=0 is a token without expiry";
    // The file is written behind the change; once it is, only the user reads it.
    ASSERT_TRUE(defaults().synchronize());
    struct stat st{};
    ASSERT_EQ(::stat(defaults().path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the settings hold the token";
}

TEST_F(FacebookLoginTest, DialogThatNeedsTheGuestShowsTheWindowAndClosingItCancelsOnce) {
    server.setHandler([](const RecordedRequest&) -> Reply {
        return {200, {{"Content-Type", "text/html"}}, "<html><body><form>Log in</form></body></html>"};
    });
    auto login = FacebookLogin::initWithApplicationID("184572910364518", delegate);
    login->getAccessTokenForPermissions({"publish_actions"}, false);
    ASSERT_TRUE(pumpEventsUntil([&] { return delegate->shown > 0; }));
    QWidget* window = login->webViewController()->window();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->objectName(), "FacebookLoginWindow");

    window->close();
    window->close();
    settle();
    EXPECT_EQ(delegate->dismissed, 1);
    EXPECT_TRUE(delegate->tokens.empty());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(login->webViewController()->isLoggingIn());
}

TEST_F(FacebookLoginTest, RefusedLogInReportsFacebooksDescription) {
    const std::string base = server.baseUrl();
    server.setHandler([base](const RecordedRequest& r) -> Reply {
        if (r.path == "/oauth/authorize")
            return {302, {{"Location", base + "/connect/login_success.html?error_reason=user_denied&"
                                              "error_description=Permissions+error"}}, ""};
        return {200, {}, "<html></html>"};
    });
    defaults().set(FacebookLogin::kTokenKey, "older-good-token");
    auto login = FacebookLogin::initWithApplicationID("1", delegate);
    login->getAccessTokenForPermissions({"publish_actions"}, false);
    ASSERT_TRUE(pumpEventsUntil([&] { return !delegate->tokens.empty(); }));
    EXPECT_FALSE(delegate->tokens[0].valid);
    EXPECT_EQ(delegate->tokens[0].error.value_or(""), "Permissions+error");
    EXPECT_FALSE(login->accessToken());
    EXPECT_EQ(defaults().string(FacebookLogin::kTokenKey), "older-good-token") << "the cache keeps the last good token";
}

TEST_F(FacebookLoginTest, CachedTokenIsReusedForTheSamePermissionsUntilItExpires) {
    auto login = FacebookLogin::initWithApplicationID("1", delegate);
    login->setAccessToken("tok", 3600, "publish_actions,user_photos", "");
    ASSERT_EQ(delegate->tokens.size(), 1u);
    EXPECT_GT(defaults().real(FacebookLogin::kExpiryKey), double(QDateTime::currentSecsSinceEpoch()) + 3500);

    // A new log-in object with the cache: no dialog for the same permissions, in any case.
    auto second = FacebookLogin::initWithApplicationID("1", delegate);
    second->getAccessTokenForPermissions({"PUBLISH_ACTIONS", "user_photos"}, true);
    ASSERT_EQ(delegate->tokens.size(), 2u);
    EXPECT_TRUE(delegate->tokens[1].valid);
    EXPECT_EQ(second->accessToken().value_or(""), "tok");
    EXPECT_EQ(second->webViewController(), nullptr);

    // More permissions open the dialog again and forget the token.
    server.setHandler([](const RecordedRequest&) -> Reply { return {200, {}, "<html></html>"}; });
    second->getAccessTokenForPermissions({"publish_actions", "manage_pages", "user_photos"}, true);
    EXPECT_FALSE(second->accessToken());
    ASSERT_NE(second->webViewController(), nullptr);
    ASSERT_TRUE(pumpEventsUntil([&] { return server.requestCount() >= 1; }));

    // An expired cached token is not used; invalidating removes the keys.
    defaults().set(FacebookLogin::kExpiryKey, double(QDateTime::currentSecsSinceEpoch() - 10));
    auto third = FacebookLogin::initWithApplicationID("1", delegate);
    third->setDelegate(std::make_shared<RecordingDelegate>());
    third->getAccessTokenForPermissions({"publish_actions", "user_photos"}, true);
    EXPECT_FALSE(third->accessToken());
    third->invalidateCachedToken();
    EXPECT_FALSE(defaults().has(FacebookLogin::kTokenKey));
    EXPECT_FALSE(defaults().has(FacebookLogin::kExpiryKey));
    EXPECT_FALSE(defaults().has(FacebookLogin::kPermissionsKey));
}

TEST_F(FacebookLoginTest, GraphRequestsCarryTheTokenAndAlwaysAnswer) {
    server.setHandler([](const RecordedRequest& r) -> Reply {
        if (r.method == "POST") return {200, {}, R"({"ok":true})"};
        return {200, {}, R"({"first_name":"Zoë","last_name":"Ørsted"})"};
    });
    auto login = FacebookLogin::initWithApplicationID("1", delegate);
    login->sendRequest("/me");
    ASSERT_TRUE(pumpEventsUntil([&] { return delegate->requests.size() == 1; }));
    EXPECT_FALSE(delegate->requests[0].succeeded()) << "no token: an empty result, not silence";
    EXPECT_EQ(server.requestCount(), 0u);

    login->setAccessToken("T0K", 0, "publish_actions");
    login->sendRequest("/me");
    login->sendRequest("/me/accounts?limit=5", {{"fields", "name"}}, false);
    login->sendRequest("/me/feed", {{"message", "hi"}}, true);
    ASSERT_TRUE(pumpEventsUntil([&] { return delegate->requests.size() == 4; }));
    ASSERT_TRUE(server.waitForRequests(3));
    std::map<std::string, RecordedRequest> byQuery;
    for (const auto& r : server.requests()) byQuery[r.method + " " + r.target] = r;
    EXPECT_EQ(byQuery.count("GET //me?access_token=T0K"), 1u);
    EXPECT_EQ(byQuery.count("GET //me/accounts?limit=5&access_token=T0K&fields=name"), 1u);
    ASSERT_EQ(byQuery.count("POST //me/feed"), 1u);
    EXPECT_EQ(byQuery["POST //me/feed"].body, "access_token=T0K&message=hi");
    for (const auto& result : delegate->requests) {
        if (result.request == "/me" && result.succeeded()) {
            EXPECT_EQ(result.result, QString::fromUtf8(R"({"first_name":"Zoë","last_name":"Ørsted"})"));
        }
    }
}

// A guest who walks away from the log-in: a press in the page gives them the
// whole wait again; left alone, the log-in is cancelled as Cancel would, and
// the page they left sends nothing more.
TEST_F(FacebookLoginTest, ALogInLeftAloneIsCancelledAndItsPageFallsSilent) {
    server.setHandler([](const RecordedRequest& r) -> Reply {
        Reply reply{200, {{"Content-Type", "text/html"}}, "{}"};
        if (r.path == "/oauth/authorize") {
            reply.headers.push_back({"Set-Cookie", "session=guest1; Path=/"});
            reply.body = "<html><body><form>Log in</form><script>"
                         "setInterval(() => fetch('/poll').catch(() => {}), 50)</script></body></html>";
        }
        return reply;
    });
    auto polls = [&] {
        size_t count = 0;
        for (const auto& r : server.requests()) count += r.path == "/poll";
        return count;
    };
    IdleInterval idle(std::chrono::seconds(30));
    auto login = FacebookLogin::initWithApplicationID("1", delegate);
    login->getAccessTokenForPermissions({"publish_actions"}, false);
    ASSERT_TRUE(pumpEventsUntil([&] { return delegate->shown > 0 && polls() > 0; }));
    FacebookLoginWebController* controller = login->webViewController();
    auto* watch = controller->findChild<IdleWindowWatch*>();
    ASSERT_TRUE(watch);
    ASSERT_TRUE(pumpEventsUntil([&] { return watch->remainingTime() >= 0 && watch->remainingTime() < 29'000; }));
    QWebEngineView* view = controller->webView()->view();
    QWidget* page = view->focusProxy() ? view->focusProxy() : view;
    QTest::mouseClick(page, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_GT(watch->remainingTime(), 29'500) << "a press in the page";
    // The page takes touches as touches, with no press made of them.
    ASSERT_TRUE(pumpEventsUntil([&] { return watch->remainingTime() < 29'000; }));
    QPointingDevice* finger = QTest::createTouchDevice();
    QTest::touchEvent(page, finger).press(0, QPoint(10, 10));
    QTest::touchEvent(page, finger).release(0, QPoint(10, 10));
    EXPECT_GT(watch->remainingTime(), 29'500) << "a touch in the page";

    idle.set(std::chrono::milliseconds(300));
    QTest::mouseClick(page, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_TRUE(pumpEventsUntil([&] { return delegate->dismissed > 0; }, 10000)) << "the log-in stays open";
    EXPECT_EQ(delegate->dismissed, 1);
    EXPECT_TRUE(delegate->tokens.empty());
    EXPECT_FALSE(controller->window()->isVisible());
    EXPECT_FALSE(controller->isLoggingIn());
    settle();
    const size_t atClose = polls();
    EXPECT_FALSE(pumpEventsUntil([&] { return polls() > atClose; }, 1000)) << "the page still fetches";
}

TEST(FacebookLoginWebController, ExtractsParametersWithoutCaseOrDecoding) {
    const QString url = "https://www.facebook.com/connect/login_success.html#Access_Token=a%2Bb&expires_in=5183";
    EXPECT_EQ(FacebookLoginWebController::extractParameter("access_token=", url).value_or("-"), "a%2Bb");
    EXPECT_EQ(FacebookLoginWebController::extractParameter("expires_in=", url).value_or("-"), "5183");
    EXPECT_FALSE(FacebookLoginWebController::extractParameter("error_description=", url));
}
