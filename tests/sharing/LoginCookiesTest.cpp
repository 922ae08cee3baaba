// Clearing cookies and cache empties what the open log-in windows keep: the
// next guest is signed out and nothing comes from the old cache.
#include <QVBoxLayout>
#include <nlohmann/json.hpp>
#include <QWidget>

#include <memory>

#include "WebViewTestSupport.h"
#include "core/WrenUtils.h"
#include "sharing/LoginWebView.h"

namespace {

class LoginCookies : public WebViewTest {
protected:
    void SetUp() override {
        WebViewTest::SetUp();
        container = std::make_unique<QWidget>();
        new QVBoxLayout(container.get());
        server.setHandler([](const testsupport::RecordedRequest& request) {
            testsupport::Reply reply;
            reply.headers = {{"Content-Type", "text/html"}};
            if (request.path == "/signin") reply.headers.push_back({"Set-Cookie", "session=guest1; Path=/"});
            if (request.path == "/logo") reply.headers.push_back({"Cache-Control", "max-age=3600"});
            reply.body = "<html><body>" + request.path + "</body></html>";
            return reply;
        });
    }
    void TearDown() override {
        WrenUtils::setClearHTTPCookiesAndCacheHook({});
        WebViewTest::TearDown();
    }
    QUrl url(const std::string& path) { return QUrl(QString::fromStdString(server.baseUrl() + path)); }
    // Loads `path` and waits for it to finish.
    void visit(LoginWebView& view, const std::string& path) {
        bool finished = false;
        auto connection = QObject::connect(&view, &LoginWebView::loadFinished, [&](const QUrl& at, bool) {
            if (at == url(path)) finished = true;
        });
        view.load(url(path));
        ASSERT_TRUE(pumpEventsUntil([&] { return finished; }, 20000)) << path;
        QObject::disconnect(connection);
    }
    // What the last request for `path` carried as its cookie ("" for none).
    std::string lastCookie(const std::string& path) {
        std::string cookie = "(never asked)";
        for (const auto& request : server.requests())
            if (request.path == path) cookie = request.header("Cookie").value_or("");
        return cookie;
    }
    int hits(const std::string& path) {
        int count = 0;
        for (const auto& request : server.requests()) count += request.path == path;
        return count;
    }

    std::unique_ptr<QWidget> container;
    testsupport::LoopbackServer server;
};

TEST_F(LoginCookies, ClearingDeletesTheSignInCookieAndEmptiesTheCacheOfEveryOpenLogInView) {
    WrenUtils::setClearHTTPCookiesAndCacheHook(&LoginWebView::clearCookiesAndCache);
    LoginWebView first(container.get());
    LoginWebView second(container.get());
    visit(first, "/signin");
    visit(second, "/signin");
    visit(first, "/logo");
    visit(first, "/account");
    EXPECT_EQ(lastCookie("/account"), "session=guest1") << "the view keeps its sign-in";
    visit(first, "/logo");
    ASSERT_EQ(hits("/logo"), 1) << "the second visit came from the cache";

    WrenUtils::clearHTTPCookiesAndCache();
    // The web engine lets go of the cookies a moment later.
    EXPECT_TRUE(pumpEventsUntil([&] {
        visit(first, "/account");
        return lastCookie("/account").empty();
    })) << "the guest is signed out";
    visit(second, "/account");
    EXPECT_EQ(lastCookie("/account"), "") << "every open log-in view is cleared";
    visit(first, "/logo");
    EXPECT_EQ(hits("/logo"), 2) << "the cache is empty";
}

}  // namespace
