// Memory over an event: the real booth (demo camera, loopback services) runs
// through N guest sessions (default 40; the first argument changes it). Each
// guest sends an e-mail and an SMS, which the share queue delivers to a
// loopback mail and SMS service; every other guest opens the Facebook log-in
// (a loopback page) and cancels it or walks away from it; half the guests
// tap Done, the others walk away from the final screen. Every 5 sessions it
// prints the resident memory (VmRSS, and its anonymous part) and the heap in
// use (mallinfo2), beside the figures after session 10 of the same run.
//
//   xvfb-run -a build/bench/bench_event_memory [sessions]
#include <malloc.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "LoopbackServer.h"
#include "TempDir.h"
#include "booth/FlashwrenMain.h"
#include "booth/HomeScreenTabItem.h"
#include "booth/MainWindow.h"
#include "booth/SharingScreenTabItem.h"
#include "core/UserDefaults.h"
#include "gallery/ManageHTTPServer.h"
#include "sharing/ShareWindows.h"
#include "sharing/SocialSharingService.h"

namespace {

struct Memory {
    double rssMB = 0, anonMB = 0, heapMB = 0;
};

Memory measure() {
    Memory m;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            const auto kB = [&](const char* key) { return line.mid(qstrlen(key)).trimmed().split(' ')[0].toDouble() / 1024; };
            if (line.startsWith("VmRSS:")) m.rssMB = kB("VmRSS:");
            if (line.startsWith("RssAnon:")) m.anonMB = kB("RssAnon:");
        }
    }
    m.heapMB = double(mallinfo2().uordblks) / (1024 * 1024);
    return m;
}

QWidget* topLevel(const QString& name) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == name) return widget;
    return nullptr;
}

bool waitFor(const std::function<bool()>& condition, int ms = 20000) { return QTest::qWaitFor(condition, ms); }

void fail(const char* what) {
    std::fprintf(stderr, "event_memory: %s\n", what);
    std::fflush(stderr);
    QApplication::exit(2);
}

// Opens a share window with its final-screen button, types `entry` and sends.
bool share(SharingScreenTabItem* screen, const QString& service, const QString& window, const QString& entry) {
    screen->shareButton(service)->click();
    QWidget* shown = nullptr;
    if (!waitFor([&] { return (shown = topLevel(window)) && shown->isVisible(); })) return false;
    shown->findChild<QLineEdit*>()->setText(entry);
    shown->findChild<QPushButton*>(QStringLiteral("SendButton"))->click();
    return waitFor([&] { return !shown->isVisible(); });
}

// The Facebook log-in: opened, then cancelled or left alone until it closes.
bool logIn(SharingScreenTabItem* screen, bool cancel) {
    screen->shareButton(QStringLiteral("Facebook"))->click();
    QWidget* shown = nullptr;
    if (!waitFor([&] { return (shown = topLevel(QStringLiteral("FacebookLoginWindow"))) && shown->isVisible(); }))
        return false;
    if (cancel) shown->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
    return waitFor([&] { return !shown->isVisible(); });
}

void runEvent(int sessions, testsupport::LoopbackServer& services) {
    auto* main = qobject_cast<MainWindow*>(topLevel(QStringLiteral("MainWindow")));
    if (!main) return fail("no main window");
    auto* home = main->homeScreen();
    auto* final = main->sharingScreen();
    if (!waitFor([&] { return main->isVisible(); })) return fail("the booth does not show");
    // Facebook needs the booth to have found the internet.
    if (!waitFor([&] { return UserDefaults::standard().string("IS_INTERNET_RECHABLE") == "YES"; }))
        return fail("the booth never finds the loopback internet");

    std::map<int, Memory> at;
    at[0] = measure();
    std::printf("session   VmRSS MB  RssAnon MB  heap MB   (ratio to session 10: RSS / heap)\n");
    std::printf("%7d  %8.1f  %10.1f  %7.1f\n", 0, at[0].rssMB, at[0].anonMB, at[0].heapMB);
    std::fflush(stdout);
    for (int n = 1; n <= sessions; ++n) {
        QTest::mouseClick(home, Qt::LeftButton);
        if (!waitFor([&] { return main->selectedScreen() == final; }, 60000)) return fail("no final screen");
        if (!share(final, QStringLiteral("Email"), QStringLiteral("ShareViaEmailWindow"),
                   QStringLiteral("guest%1@x.example").arg(n)))
            return fail("the e-mail window");
        if (!share(final, QStringLiteral("SMS"), QStringLiteral("ShareViaSMSWindow"), QStringLiteral("55512%1").arg(n, 5, 10, QChar('0'))))
            return fail("the SMS window");
        if (n % 2 == 1 && !logIn(final, n % 4 == 1)) return fail("the log-in window");
        if (n % 2 == 0) final->findChild<QPushButton*>(QStringLiteral("DoneButton"))->click();
        if (!waitFor([&] { return main->selectedScreen() == home; }, 60000)) return fail("never back home");
        SocialSharingService::shared()->startSocialServiceExecution();
        if (n % 5 != 0 && n != sessions) continue;
        // What the session let go of is gone once the event loop has run.
        QTest::qWait(1500);
        at[n] = measure();
        const Memory& m = at[n];
        std::printf("%7d  %8.1f  %10.1f  %7.1f", n, m.rssMB, m.anonMB, m.heapMB);
        if (auto base = at.find(10); base != at.end() && n > 10)
            std::printf("   %.2f / %.2f  (%+.1f MB / %+.1f MB)", m.rssMB / base->second.rssMB,
                        m.heapMB / base->second.heapMB, m.rssMB - base->second.rssMB,
                        m.heapMB - base->second.heapMB);
        std::printf("\n");
        std::fflush(stdout);
    }
    std::size_t mails = 0, texts = 0;
    for (const auto& request : services.requests()) {
        mails += request.path.find("mail.send") != std::string::npos;
        texts += request.path.find("Messages") != std::string::npos;
    }
    std::printf("requests: %zu e-mail, %zu SMS\n", mails, texts);
    QApplication::quit();
}

}  // namespace

int main(int argc, char** argv) {
    const int sessions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --no-sandbox");
    for (const char* kit : {"SettingsEndpoint", "ConfigureEndpoint", "BlackboxReportsEndpoint", "BlackboxBetaEndpoint"})
        qputenv(kit, "http://127.0.0.1:9");
    testsupport::ScopedHome home;
    // Mail, SMS, the log-in page, the reachability check: all one loopback peer.
    testsupport::LoopbackServer services;
    services.setHandler([](const testsupport::RecordedRequest& request) {
        if (request.path.find("/oauth/") != std::string::npos)
            return testsupport::Reply{200, {{"Content-Type", "text/html"}},
                                      "<html><body><form><input name=email><input type=password></form></body></html>"};
        if (request.method == "PUT") return testsupport::Reply{200, {}, ""};  // the print's upload
        // The registration's public address; the mail and SMS services' acceptance.
        return testsupport::Reply{200, {{"Content-Type", "text/html"}},
                                  "{\"url\":\"http://flw.io/p/Ab1\",\"sid\":\"SM1\"}"};
    });
    return flashwrenMain(argc > 1 ? 1 : argc, argv, [&] {
        ManageHTTPServer::Options gallery;
        gallery.bindAddress = "127.0.0.1";
        gallery.localAddresses = [] { return std::map<std::string, std::string>{}; };
        ManageHTTPServer::setSharedOptions(gallery);
        auto& defaults = UserDefaults::standard();
        for (auto key : {"GlimmerlyAPIURL", "GoogleAnalyticsURL", "FlashwrenAdminURL"})
            defaults.set(key, "http://127.0.0.1:9");
        for (auto key : {"S3EndpointURL", "FlashwrenWebServiceURL", "SendGridBaseURL", "TwilioBaseURL",
                         "ReachabilityURL", "FacebookGraphURL", "FacebookWebURL"})
            defaults.set(key, services.baseUrl() + "/");
        for (auto [key, value] : {std::pair{"S3Bucket", "booth"}, {"S3PublicURL", "http://booth"},
                                  {"S3AccessKeyID", "K"}, {"S3SecretAccessKey", "S"}, {"S3Region", "us-east-1"}})
            defaults.set(key, value);
        for (auto key : {"TWILIO_ACCOUNT_SID", "TWILIO_AUTH_TOKEN", "FROM_TWILIO_NUMBER", "TWILIO_COUNTRY_CODE"})
            defaults.set(key, "49");
        defaults.set("FacebookAppID", "1");
        defaults.set("seconds_between_shots", 0);
        defaults.set("PHOTO_ARRIVAL_CHECK_SECONDS", 0);
        defaults.set("seconds_between_groups", 2);
        // A guest who walks away from the log-in is gone in a moment here.
        IdleWindowWatch::setIdleInterval(std::chrono::milliseconds(500));
        QTimer::singleShot(0, qApp, [&services, sessions] { runEvent(sessions, services); });
    });
}
