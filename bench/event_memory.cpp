// Memory over an event: the real booth (demo camera, loopback services) runs
// through N guest sessions (default 40; the first argument changes it), full
// screen, keying photos and live view against a backdrop, guests typing on
// the on-screen keyboard. Each guest sends an e-mail and an SMS, which the
// share queue delivers to loopback services once the print is uploaded
// there, and takes a print (into a PDF file); every other guest opens the
// Facebook log-in (a loopback page) and cancels it or walks away from it,
// and every fourth walks away from an e-mail window they typed in; half the
// guests tap Done, the others walk away from the final screen. Every 5
// sessions it prints the resident memory (VmRSS, and its anonymous part) and
// the heap in use (mallinfo2), beside the figures after session 10.
//
//   taskset -c 0,1 xvfb-run -a -s "-screen 0 1920x1080x24" build/bench/bench_event_memory [sessions]
//
// EVENT_MEMORY_PLAIN=1: a window, no keying, no on-screen keyboard.
// EVENT_MEMORY_IDLE_MS: how long a window left alone stays (default 500).
// EVENT_MEMORY_NO_TEARDOWN=1: ends without tearing the booth down, so that
// a heap profiler (heaptrack) reports what the event holds as leaks; two
// runs of different lengths, compared, show what each session leaves.
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>
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
#include "booth/BoothPrinter.h"
#include "booth/FlashwrenMain.h"
#include "booth/HomeScreenTabItem.h"
#include "booth/MainWindow.h"
#include "booth/SharingScreenTabItem.h"
#include "core/Database.h"
#include "core/SharingType.h"
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
            const auto kB = [&](const char* key) {
                return line.mid(qstrlen(key)).trimmed().split(' ')[0].toDouble() / 1024;
            };
            if (line.startsWith("VmRSS:")) m.rssMB = kB("VmRSS:");
            if (line.startsWith("RssAnon:")) m.anonMB = kB("RssAnon:");
        }
    }
    // In use: from the heap proper and in chunks of their own mapping.
    const auto heap = mallinfo2();
    m.heapMB = double(heap.uordblks + heap.hblkhd) / (1024 * 1024);
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

// Opens a share window with its final-screen button, types `entry` and
// sends, or leaves the window until it closes by itself.
bool share(SharingScreenTabItem* screen, const QString& service, const QString& window, const QString& entry,
           bool send = true) {
    screen->shareButton(service)->click();
    QWidget* shown = nullptr;
    if (!waitFor([&] { return (shown = topLevel(window)) && shown->isVisible(); })) return false;
    auto* field = shown->findChild<QLineEdit*>();
    // Typed key by key, as the on-screen keyboard types it.
    field->setFocus();
    QTest::keyClicks(field, entry);
    if (send) shown->findChild<QPushButton*>(QStringLiteral("SendButton"))->click();
    return waitFor([&] { return !shown->isVisible(); }, 180000);
}

// The Facebook log-in: opened, then cancelled or left alone until it closes.
bool logIn(SharingScreenTabItem* screen, bool cancel) {
    screen->shareButton(QStringLiteral("Facebook"))->click();
    QWidget* shown = nullptr;
    if (!waitFor([&] { return (shown = topLevel(QStringLiteral("FacebookLoginWindow"))) && shown->isVisible(); }))
        return false;
    if (cancel) shown->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
    return waitFor([&] { return !shown->isVisible(); }, 180000);
}

void runEvent(int sessions) {
    auto* main = qobject_cast<MainWindow*>(topLevel(QStringLiteral("MainWindow")));
    if (!main) return fail("no main window");
    auto* home = main->homeScreen();
    auto* final = main->sharingScreen();
    if (!waitFor([&] { return main->isVisible(); })) return fail("the booth does not show");
    if (!qEnvironmentVariableIsSet("EVENT_MEMORY_PLAIN")) main->toggleFullScreen();
    // Facebook needs the booth to have found the internet.
    if (!waitFor([&] { return UserDefaults::standard().string("IS_INTERNET_RECHABLE") == "YES"; }))
        return fail("the booth never finds the loopback internet");

    std::map<int, Memory> at;
    at[0] = measure();
    std::printf("session   VmRSS MB  RssAnon MB  heap MB   (ratio to session 10: RSS / heap)\n");
    std::printf("%7d  %8.1f  %10.1f  %7.1f\n", 0, at[0].rssMB, at[0].anonMB, at[0].heapMB);
    std::fflush(stdout);
    for (int n = 1; n <= sessions; ++n) {
        // Just back from the final screen the home screen takes no tap (the
        // rest of a tap on Done): the guest taps again until a session starts.
        if (!waitFor([&] {
                if (main->selectedScreen() == home) QTest::mouseClick(home, Qt::LeftButton);
                return main->selectedScreen() != home;
            }, 60000))
            return fail("no session starts");
        if (!waitFor([&] { return main->selectedScreen() == final; }, 60000)) return fail("no final screen");
        if (!share(final, QStringLiteral("Email"), QStringLiteral("ShareViaEmailWindow"),
                   QStringLiteral("guest%1@x.example").arg(n)))
            return fail("the e-mail window");
        if (!share(final, QStringLiteral("SMS"), QStringLiteral("ShareViaSMSWindow"),
                   QStringLiteral("55512%1").arg(n, 5, 10, QChar('0'))))
            return fail("the SMS window");
        // Guests 1, 5, 9... cancel the Facebook log-in; 3, 7, 11... walk away
        // from it; 4, 8, 12... walk away from an e-mail window they typed in.
        if (n % 2 == 1 && !logIn(final, n % 4 == 1)) return fail("the log-in window");
        if (n % 4 == 0 && !share(final, QStringLiteral("Email"), QStringLiteral("ShareViaEmailWindow"),
                                 QStringLiteral("left%1@x.example").arg(n), false))
            return fail("the e-mail window left alone");
        // Every guest takes a print (into a PDF file here).
        final->printButton()->click();
        if (!waitFor([&] { return !final->isPrinting(); }, 60000)) return fail("the print");
        // Half the guests tap Done, the others walk away from the final screen.
        if (n % 4 == 1 || n % 4 == 2) final->findChild<QPushButton*>(QStringLiteral("DoneButton"))->click();
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
    // What the share queue delivered (the last guests' shares may still wait).
    std::map<std::int64_t, std::int64_t> sent;
    if (auto rows = WrenDatabase::shared().query(
            "SELECT share_type, COUNT(*) FROM share WHERE done = 1 GROUP BY share_type"))
        for (const auto& row : *rows) sent[std::get<std::int64_t>(row[0])] = std::get<std::int64_t>(row[1]);
    std::printf("shares sent: %lld e-mail, %lld SMS\n", static_cast<long long>(sent[SharingTypeEmail]),
                static_cast<long long>(sent[SharingTypeSMS]));
    std::fflush(stdout);
    // For a heap profiler: what the event holds is reported as never freed.
    if (qEnvironmentVariableIsSet("EVENT_MEMORY_NO_TEARDOWN")) std::_Exit(0);
    QApplication::quit();
}

// Runs the booth's services (mail, SMS, upload, registration, log-in page,
// reachability) in a child process of their own, so that what they record
// never counts as the booth's memory; returns their address.
std::string startServices() {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::close(pipeFds[0]);
        testsupport::LoopbackServer services;
        services.setHandler([](const testsupport::RecordedRequest& request) {
            if (request.path.find("/oauth/") != std::string::npos)
                return testsupport::Reply{200, {{"Content-Type", "text/html"}},
                                          "<html><body><form><input name=email><input type=password>"
                                          "</form></body></html>"};
            if (request.method == "PUT") return testsupport::Reply{200, {}, ""};  // the print's upload
            // The registration's public address; the mail and SMS services' acceptance.
            return testsupport::Reply{200, {{"Content-Type", "text/html"}},
                                      "{\"url\":\"http://flw.io/p/Ab1\",\"sid\":\"SM1\"}"};
        });
        const std::string address = services.baseUrl() + "\n";
        if (::write(pipeFds[1], address.data(), address.size()) != ssize_t(address.size())) std::_Exit(1);
        ::close(pipeFds[1]);
        for (;;) ::pause();  // until the booth has ended
    }
    ::close(pipeFds[1]);
    std::string address;
    char c;
    while (child > 0 && ::read(pipeFds[0], &c, 1) == 1 && c != '\n') address += c;
    ::close(pipeFds[0]);
    return address;
}

}  // namespace

int main(int argc, char** argv) {
    const int sessions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --no-sandbox");
    for (const char* kit : {"SettingsEndpoint", "ConfigureEndpoint", "BlackboxReportsEndpoint", "BlackboxBetaEndpoint"})
        qputenv(kit, "http://127.0.0.1:9");
    testsupport::ScopedHome home;
    // The on-screen keyboard is chosen as the application object is made.
    const bool plain = qEnvironmentVariableIsSet("EVENT_MEMORY_PLAIN");
    UserDefaults::standard().set("SHOW_VIRTUAL_KEYBOARD", !plain);
    // Before any thread starts: the child is a plain copy.
    const std::string services = startServices();
    if (services.empty()) {
        std::fprintf(stderr, "event_memory: the loopback services do not start\n");
        return 2;
    }
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
            defaults.set(key, services + "/");
        for (auto [key, value] : {std::pair{"S3Bucket", "booth"}, {"S3PublicURL", "http://booth"},
                                  {"S3AccessKeyID", "K"}, {"S3SecretAccessKey", "S"}, {"S3Region", "us-east-1"}})
            defaults.set(key, value);
        for (auto key : {"TWILIO_ACCOUNT_SID", "TWILIO_AUTH_TOKEN", "FROM_TWILIO_NUMBER", "TWILIO_COUNTRY_CODE"})
            defaults.set(key, "49");
        defaults.set("FacebookAppID", "1");
        defaults.set("seconds_between_shots", 0);
        defaults.set("PHOTO_ARRIVAL_CHECK_SECONDS", 0);
        defaults.set("seconds_between_groups", 2);
        if (!plain) {
            // Photos and live view keyed against one backdrop.
            QImage backdrop(1920, 1080, QImage::Format_RGB32);
            backdrop.fill(QColor(20, 40, 220));
            const QString path = QString::fromStdString(home.path()) + "/backdrop.png";
            backdrop.save(path);
            defaults.set("GREEN_SCREEN_ON", 0);
            defaults.set("GREEN_SCREEN_BACKGROUNDS", nlohmann::json::array({{{path.toStdString(), ""}}}));
        }
        // A window left alone closes in a moment here (EVENT_MEMORY_IDLE_MS).
        BoothPrinter::setOutputFile(QString::fromStdString(home.path()) + "/prints.pdf");
        defaults.set("MAX_PRINTS_PER_SESSION", 1);
        const int idle = qEnvironmentVariableIntValue("EVENT_MEMORY_IDLE_MS");
        IdleWindowWatch::setIdleInterval(std::chrono::milliseconds(idle > 0 ? idle : 500));
        QTimer::singleShot(0, qApp, [sessions] { runEvent(sessions); });
    });
}
