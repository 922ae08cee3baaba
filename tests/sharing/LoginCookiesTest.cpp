// Clearing cookies and cache empties what the open log-in windows keep: the
// next guest is signed out and nothing comes from the old cache.
#include <QElapsedTimer>
#include <QNetworkCookie>
#include <QPointer>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWidget>
#include <nlohmann/json.hpp>

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
        QObject watch;  // ends the connection with the wait, also when it fails
        bool finished = false;
        QObject::connect(&view, &LoginWebView::loadFinished, &watch,
                         [&, expected = url(path)](const QUrl& at, bool) { finished = finished || at == expected; });
        view.load(url(path));
        ASSERT_TRUE(pumpEventsUntil([&] { return finished; }, 20000)) << path;
    }
    // What the last request for `path` carried as its cookie ("" for none).
    std::string lastCookie(const std::string& path) {
        std::string cookie = "(never asked)";
        for (const auto& request : server.requests())
            if (request.path == path) cookie = request.header("Cookie").value_or("");
        return cookie;
    }
    // Makes `page`, one the clearing let go, fetch `path` now, and waits for
    // the fetch to end without letting the page go first (deferred deletes
    // wait): "sent" when it reached the server, "stopped" when it did not.
    std::string fetchFrom(const QPointer<QWebEnginePage>& page, const std::string& path) {
        if (!page) return "(page gone)";
        page->runJavaScript(QStringLiteral("window.late = ''; fetch('%1').then(() => window.late = 'sent', "
                                           "() => window.late = 'stopped')")
                                .arg(QString::fromStdString(path)));
        auto outcome = std::make_shared<QString>();
        QElapsedTimer timer;
        timer.start();
        while (outcome->isEmpty() && page && timer.elapsed() < 20000) {
            auto answered = std::make_shared<bool>(false);
            page->runJavaScript(QStringLiteral("String(window.late || '')"), [outcome, answered](const QVariant& v) {
                *outcome = v.toString();
                *answered = true;
            });
            while (!*answered && page && timer.elapsed() < 20000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return outcome->isEmpty() ? "(no outcome)" : outcome->toStdString();
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

    const QList<QPointer<QWebEnginePage>> lastGuests{first.page(), second.page()};
    QObject watch;
    QStringList removed;
    for (const auto& page : lastGuests)
        QObject::connect(page->profile()->cookieStore(), &QWebEngineCookieStore::cookieRemoved, &watch,
                         [&](const QNetworkCookie& cookie) { removed << QString::fromUtf8(cookie.name()); });
    const size_t atClearing = server.requests().size();
    WrenUtils::clearHTTPCookiesAndCache();
    // The pages the last guests saw are not gone yet, and their scripts may
    // fetch at any moment: these do so now, and get nowhere.
    for (const auto& page : lastGuests)
        EXPECT_EQ(fetchFrom(page, "/late"), "stopped") << "the last guest's page still reaches the server";
    EXPECT_EQ(hits("/late"), 0);
    // Nor do their profiles, which live on a while, keep the sign-in.
    EXPECT_TRUE(pumpEventsUntil([&] { return removed.count("session") == 2; }))
        << "the last guests' profiles keep their cookies: " << removed.join(',').toStdString();
    visit(first, "/account");
    EXPECT_EQ(lastCookie("/account"), "") << "the guest is signed out once the clearing returns";
    visit(second, "/account");
    EXPECT_EQ(lastCookie("/account"), "") << "every open log-in view is cleared";
    visit(first, "/logo");
    EXPECT_EQ(hits("/logo"), 2) << "the cache is empty";
    const auto requests = server.requests();
    for (size_t i = atClearing; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].header("Cookie").value_or(""), "") << requests[i].target << " came after the clearing";
}

// The guest's window never hangs on the clearing: a page under way then is
// loaded again, and one asked for right after loads, both signed out.
TEST_F(LoginCookies, LoadsUnderWayOrAskedForJustAfterTheClearingFinishSignedOut) {
    LoginWebView first(container.get());
    LoginWebView second(container.get());
    for (int round = 0; round < 10; ++round) {
        visit(first, "/signin");
        visit(second, "/signin");
        QObject watch;
        int finished = 0;
        for (LoginWebView* view : {&first, &second})
            QObject::connect(view, &LoginWebView::loadFinished, &watch,
                             [&](const QUrl& at, bool) { finished += at == url("/account"); });
        first.load(url("/account"));
        const QPointer<QWebEnginePage> lastGuest = second.page();
        const size_t atClearing = server.requests().size();
        LoginWebView::clearCookiesAndCache();
        second.load(url("/account"));
        // The page the last guest saw, signed in, fetches once more.
        EXPECT_EQ(fetchFrom(lastGuest, "/late"), "stopped") << "round " << round;
        ASSERT_TRUE(pumpEventsUntil([&] { return finished == 2; }, 20000)) << "round " << round;
        visit(first, "/whoami");
        EXPECT_EQ(lastCookie("/whoami"), "") << "round " << round;
        visit(second, "/whoami");
        EXPECT_EQ(lastCookie("/whoami"), "") << "round " << round;
        // The load asked for just before the clearing had not gone out yet.
        EXPECT_EQ(hits("/late"), 0) << "round " << round;
        const auto requests = server.requests();
        for (size_t i = atClearing; i < requests.size(); ++i)
            EXPECT_EQ(requests[i].header("Cookie").value_or(""), "") << requests[i].target << ", round " << round;
    }
    LoginWebView::clearCookiesAndCache();
    EXPECT_TRUE(first.page()->url().isEmpty()) << "the last guest's page is no longer shown";
}

}  // namespace
