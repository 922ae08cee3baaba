#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <QLabel>

#include <atomic>
#include <map>

#include "BoothTestApp.h"
#include "LoopbackServer.h"
#include "SilentServer.h"
#include "TempDir.h"
#include "base/Plist.h"
#include "booth/BoothPrinter.h"
#include "booth/ShareWindowButtons.h"
#include "booth/SharingScreenTabItem.h"
#include "booth/SocialShareButtons.h"
#include "preferences/CustomControls.h"
#include "preferences/PreferencePane.h"
#include "sharing/ShareWindows.h"
#include "core/Database.h"
#include "core/PhotoSession.h"
#include "core/ProgressWindowController.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "sharing/Analytics.h"

namespace {

class CountingDelegate : public BoothScreensDelegate {
public:
    void screenDidFinish(WrenTabItem*) override { ++finished; }
    void screenDidFail(WrenTabItem*, const QString&) override {}
    void userDidRequestSession(const QStringList&) override {}
    int finished = 0;
};

class FinalScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        app();
        ASSERT_TRUE(WrenDatabase::openShared(home.path() + "/flashwren_db.sqlite",
                                             std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
        auto& defaults = UserDefaults::standard();
        defaults.set("DATA_DIRECTORY", home.path() + "/data/");
        defaults.set("seconds_between_groups", 30);
        QImage print(300, 900, QImage::Format_RGB32);
        print.fill(Qt::darkCyan);
        printPath = QString::fromStdString(home.path()) + "/print.jpg";
        ASSERT_TRUE(print.save(printPath));
        PhotoSession::session().reset();
        PhotoSession::resetPrintsThisRun();
        PhotoSession::session().printImagePath = printPath;
        pdf = QString::fromStdString(home.path()) + "/page.pdf";
        BoothPrinter::setOutputFile(pdf);
        screen.setDelegate(&delegate);
        screen.resize(800, 600);
        screen.show();
    }
    void TearDown() override {
        // The screen's usage hits are stored in this test's home, before it goes.
        GoogleTracker::sharedGoogleTracker().waitForPendingHits(std::chrono::seconds(30));
        BoothPrinter::setOutputFile({});
        WrenDatabase::shared().close();
    }
    QString message() { return ProgressWindowController::sharedPrgoressWindowController()->visibleMessage(); }
    // (type, recipient, done) of every share row.
    std::vector<std::tuple<std::int64_t, std::string, std::int64_t>> shares() {
        std::vector<std::tuple<std::int64_t, std::string, std::int64_t>> out;
        auto rows = WrenDatabase::shared().query("SELECT share_type, to_field, done FROM share ORDER BY id");
        for (const auto& row : *rows) {
            const auto* to = std::get_if<std::string>(&row[1]);
            out.emplace_back(std::get<std::int64_t>(row[0]), to ? *to : "", std::get<std::int64_t>(row[2]));
        }
        return out;
    }

    testsupport::ScopedHome home;
    QString printPath;
    QString pdf;
    CountingDelegate delegate;
    // The screen is made after the application object.
    std::unique_ptr<SharingScreenTabItem> owned;
    SharingScreenTabItem& screen = *(owned = (app(), std::make_unique<SharingScreenTabItem>()));
};

TEST_F(FinalScreenTest, PrintingStaysWithinTheSessionLimit) {
    UserDefaults::standard().set("MAX_PRINTS_PER_SESSION", 1);
    screen.showSession();
    ASSERT_TRUE(screen.printButton()->isEnabled());
    QTest::mouseClick(screen.printButton(), Qt::LeftButton);
    EXPECT_FALSE(screen.isCountdownRunning()) << "the guest is not sent home while printing";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !screen.isPrinting(); }, 5000));
    EXPECT_GT(QFileInfo(pdf).size(), 1000);
    EXPECT_EQ(PhotoSession::session().printsMade, 1);
    EXPECT_EQ(PhotoSession::printsThisRun(), 1);
    EXPECT_TRUE(screen.isCountdownRunning());
    ASSERT_EQ(shares().size(), 1u);
    EXPECT_EQ(std::get<0>(shares()[0]), 7);
    EXPECT_EQ(std::get<2>(shares()[0]), 1);

    EXPECT_FALSE(screen.printButton()->isEnabled());
    EXPECT_TRUE(screen.printButton()->isVisible());
    screen.printSessionImage();
    EXPECT_EQ(message(), "No more prints for this session.");
    EXPECT_EQ(shares().size(), 1u);
}

TEST_F(FinalScreenTest, TheEventLimitCountsPrintsOfEarlierSessions) {
    auto& defaults = UserDefaults::standard();
    defaults.set("MAX_PRINTS_PER_SESSION", 5);
    defaults.set("MAX_PRINTS_PER_EVENT", 2);
    defaults.set("HIDE_PRINT_BUTTON_AFTER_MAX_PRINT", true);
    PhotoSession::addPrintThisRun();
    screen.showSession();
    EXPECT_TRUE(screen.canPrint());
    screen.printSessionImage();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !screen.isPrinting(); }, 5000));
    EXPECT_EQ(PhotoSession::printsThisRun(), 2);
    EXPECT_FALSE(screen.canPrint());
    EXPECT_FALSE(screen.printButton()->isVisible()) << "the button goes once the limit is reached";
}

TEST_F(FinalScreenTest, AutomaticPrintingPrintsAtOnceWithoutAQRCodeLayer) {
    UserDefaults::standard().set("print_automatically", true);
    screen.showSession();
    EXPECT_TRUE(QTest::qWaitFor([&] { return PhotoSession::session().printsMade == 1; }, 5000));
    EXPECT_TRUE(QFile::exists(pdf));
}

TEST_F(FinalScreenTest, AnUnreadablePrintIsReportedNotCounted) {
    QFile::remove(printPath);
    screen.showSession();
    screen.printSessionImage();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !screen.isPrinting(); }, 5000));
    EXPECT_EQ(message(), "Unable to read the print.");
    EXPECT_EQ(PhotoSession::session().printsMade, 0);
    EXPECT_TRUE(shares().empty());
    EXPECT_TRUE(screen.printButton()->isEnabled()) << "the guest may try again";
}

TEST_F(FinalScreenTest, SharingResultsResumeTheCountdownAndRecordSocialShares) {
    auto* email = new QPushButton("E-mail");
    screen.addShareButton("Email", email);
    auto* twitter = new QPushButton("Twitter");
    screen.addShareButton("Twitter", twitter);
    screen.setSharedUserNameProvider([](const QString& service) { return service == "Twitter" ? "@guest" : ""; });
    UserDefaults::standard().set("IS_INTERNET_RECHABLE", "NO");
    screen.showSession();

    screen.sharingWillStartFor("Email");
    EXPECT_EQ(message(), "Sending E-mail..");
    screen.sharingWillStartFor("SMS");
    EXPECT_EQ(message(), "Sending SMS..");
    screen.sharingWillStartFor("Facebook");
    EXPECT_EQ(message(), "Sharing Image...");

    screen.stopCountdown();
    email->setEnabled(false);
    screen.sharingDidFailedFor("Email", "SendGrid said no");
    EXPECT_TRUE(screen.isCountdownRunning());
    EXPECT_TRUE(email->isEnabled());
    EXPECT_EQ(message(), "Sharing Image...") << "failures are not shown";
    EXPECT_TRUE(shares().empty());

    screen.stopCountdown();
    twitter->setEnabled(false);
    screen.sharingDidFinishedFor("Twitter", "Tweet sent");
    EXPECT_TRUE(screen.isCountdownRunning());
    EXPECT_TRUE(twitter->isEnabled());
    EXPECT_EQ(message(), "Tweet sent");
    ASSERT_EQ(shares().size(), 1u);
    EXPECT_EQ(shares()[0], std::make_tuple(std::int64_t{3}, std::string("@guest"), std::int64_t{1}));

    // E-mail shares are recorded by the share window, not here.
    screen.sharingDidFinishedFor("Email", "E-mail queued");
    EXPECT_EQ(shares().size(), 1u);

    // The social share is reported to usage tracking (offline here: stored),
    // the e-mail is not (the share queue reports it when it is sent).
    const QString queue = WrenUtils::getAnalyticsQueueFolderPath();
    auto tracked = [&] {
        QStringList actions;
        for (const QString& name : QDir(queue).entryList({"*.plist"}, QDir::Files)) {
            auto hit = base::plistReadFile((queue + "/" + name).toStdString());
            if (hit && hit->is_object() && hit->value("ec", "") == "share")
                actions << QString::fromStdString(hit->value("ea", ""));
        }
        return actions;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tracked().isEmpty(); }, 3000));
    EXPECT_EQ(tracked(), QStringList{"Twitter"});

    // Buttons go before "Done".
    auto* row = screen.findChild<QWidget*>("ShareButtonRow");
    ASSERT_TRUE(row);
    EXPECT_LT(email->x(), screen.findChild<QPushButton*>("DoneButton")->x() + 1);
}

TEST_F(FinalScreenTest, FacebookAndTwitterSharesAreReportedToShareTracking) {
    keepBoothOnLoopback();
    testsupport::LoopbackServer tracking;
    auto& defaults = UserDefaults::standard();
    defaults.set("GlimmerlyAPIURL", tracking.baseUrl());
    defaults.set("IS_INTERNET_RECHABLE", "NO");  // usage tracking keeps its hits
    defaults.set("FACEBOOK_SHARING_TEXT", "Posted from the booth");
    defaults.set("TWITTER_SHARING_TEXT", "Tweeted from the booth");
    screen.setSharedUserNameProvider(
        [](const QString& service) { return service == "Twitter" ? "@guest" : "Ann Guest"; });
    screen.showSession();

    screen.sharingDidFinishedFor("Facebook", QString());
    screen.sharingDidFinishedFor("Twitter", QString());
    ASSERT_TRUE(tracking.waitForRequests(2));
    std::map<std::string, std::pair<std::string, std::string>> reported;  // type: (message, to)
    for (const auto& r : tracking.requests()) {
        using testsupport::RecordedRequest;
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(RecordedRequest::field(r.body, "action"), "trackshare");
        reported[RecordedRequest::field(r.body, "type").value_or("?")] = {
            RecordedRequest::field(r.body, "message").value_or("?"), RecordedRequest::field(r.body, "to").value_or("?")};
    }
    EXPECT_EQ(reported["facebook"], std::make_pair(std::string("Posted from the booth"), std::string("Ann Guest")));
    EXPECT_EQ(reported["twitter"], std::make_pair(std::string("Tweeted from the booth"), std::string("@guest")));
    EXPECT_EQ(shares(), (std::vector<std::tuple<std::int64_t, std::string, std::int64_t>>{
                            {1, "Ann Guest", 1}, {3, "@guest", 1}}));
}

TEST_F(FinalScreenTest, TheFinalScreensButtonsAreRound) {
    ShareWindowButtons::install(&screen);
    SocialShareButtons::install(&screen);
    screen.showSession();
    auto* row = screen.findChild<QWidget*>("ShareButtonRow");
    ASSERT_TRUE(row);
    QStringList names;
    for (auto* button : row->findChildren<QPushButton*>()) {
        names << button->objectName();
        EXPECT_TRUE(qobject_cast<RoundButton*>(button)) << button->objectName().toStdString();
        EXPECT_EQ(button->size(), QSize(150, 150)) << button->objectName().toStdString();
    }
    names.sort();
    EXPECT_EQ(names, (QStringList{"DoneButton", "EmailShareButton", "FacebookShareButton", "PrintButton",
                                  "SMSShareButton", "TwitterShareButton"}));
}

TEST_F(FinalScreenTest, TheNextGuestFindsTheShareWindowsEmpty) {
    for (auto key : {"TWILIO_ACCOUNT_SID", "TWILIO_AUTH_TOKEN", "FROM_TWILIO_NUMBER", "TWILIO_COUNTRY_CODE"})
        UserDefaults::standard().set(key, "49");
    auto* buttons = ShareWindowButtons::install(&screen);
    screen.showSession();
    // A guest half types an address and a number, and closes both windows.
    buttons->openEmailWindow();
    QTest::keyClicks(buttons->emailWindow()->emailField(), "ann.guest@exa");
    buttons->emailWindow()->closeWindow();
    buttons->openSMSWindow();
    QTest::keyClicks(buttons->smsWindow()->mobileNumberField(), "01512");
    buttons->smsWindow()->closeWindow();

    screen.cleanUp();
    screen.showSession();
    EXPECT_EQ(buttons->emailWindow()->emailField()->text().toStdString(), "");
    EXPECT_EQ(buttons->smsWindow()->mobileNumberField()->text().toStdString(), "");
}

// A guest who walks away from a share window: it closes by itself, emptied,
// and the countdown it stopped takes the booth back to the start.
TEST_F(FinalScreenTest, AShareWindowLeftAloneClosesAndTheCountdownReturnsHome) {
    UserDefaults::standard().set("seconds_between_groups", 2);
    auto* buttons = ShareWindowButtons::install(&screen);
    screen.showSession();
    buttons->openEmailWindow();
    QTest::keyClicks(buttons->emailWindow()->emailField(), "guest.a@x.example");
    QWidget* window = buttons->emailWindow()->window();
    ASSERT_TRUE(window->isVisible());
    EXPECT_FALSE(screen.isCountdownRunning()) << "the countdown waits while the guest types";

    IdleWindowWatch::setIdleInterval(std::chrono::milliseconds(300));
    QTest::keyClick(buttons->emailWindow()->emailField(), Qt::Key_M);
    const bool returned = QTest::qWaitFor([&] { return delegate.finished == 1; }, 15000);
    IdleWindowWatch::setIdleInterval(IdleWindowWatch::kGuestIdleInterval);
    ASSERT_TRUE(returned) << "the booth stays on the sharing screen under the window";
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(buttons->emailWindow()->emailField()->text().toStdString(), "");
    EXPECT_TRUE(screen.shareButton("Email")->isEnabled());
}

TEST_F(FinalScreenTest, TheCountdownReturnsHome) {
    UserDefaults::standard().set("seconds_between_groups", 1);
    screen.showSession();
    EXPECT_TRUE(QTest::qWaitFor([&] { return delegate.finished == 1; }, 3000));
    screen.cleanUp();
    screen.resumeCountdown();
    EXPECT_FALSE(screen.isCountdownRunning()) << "nothing to count down without a session";
}

TEST_F(FinalScreenTest, TheCountdownStartsFromTheShootingPanesSeconds) {
    ShootingPreferencesViewController shooting;
    auto* seconds = shooting.view()->findChild<QSpinBox*>("seconds_between_groups");
    ASSERT_TRUE(seconds);
    seconds->setValue(45);
    screen.showSession();
    EXPECT_EQ(screen.secondsLeft(), 45);
    seconds->setValue(7);
    screen.showSession();
    EXPECT_EQ(screen.secondsLeft(), 7);
}

// Log-ins started from the final screen, against a loopback Facebook.
struct WebEngineFirst {
    WebEngineFirst() {
        if (!qApp) QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    }
};

class FinalScreenLogInTest : public WebEngineFirst, public FinalScreenTest {
protected:
    void SetUp() override {
        FinalScreenTest::SetUp();
        keepBoothOnLoopback();
        UserDefaults::standard().set("IS_INTERNET_RECHABLE", "YES");
        SocialShareButtons::install(&screen);
    }
    void TearDown() override {
        IdleWindowWatch::setIdleInterval(IdleWindowWatch::kGuestIdleInterval);
        FinalScreenTest::TearDown();
    }
    void useFacebookAt(const std::string& base) {
        UserDefaults::standard().set("FacebookGraphURL", base + "/");
        UserDefaults::standard().set("FacebookWebURL", base);
    }
    void tapFacebook() { QTest::mouseClick(screen.shareButton("Facebook"), Qt::LeftButton); }
    static QWidget* logInWindow() {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->objectName() == "FacebookLoginWindow" && window->isVisible()) return window;
        return nullptr;
    }
    static size_t photoPosts(testsupport::LoopbackServer& server) {
        size_t posts = 0;
        for (const auto& r : server.requests()) posts += r.path == "/v2.2/me/photos";
        return posts;
    }
};

// A guest taps Facebook and the page never comes: they see it load, and the
// log-in ends in the idle wait so that the booth goes home for the next one.
TEST_F(FinalScreenLogInTest, ALogInPageThatNeverAnswersShowsItLoadsAndEndsInTheIdleWait) {
    testsupport::SilentServer silent;
    ASSERT_TRUE(silent.listening());
    useFacebookAt(silent.baseUrl());
    UserDefaults::standard().set("seconds_between_groups", 1);
    IdleWindowWatch::setIdleInterval(std::chrono::milliseconds(400));
    screen.showSession();
    tapFacebook();
    ASSERT_TRUE(QTest::qWaitFor([] { return logInWindow() != nullptr; }, 10000)) << "nothing shows while it loads";
    auto* loading = logInWindow()->findChild<QLabel*>("LoadingLabel");
    ASSERT_TRUE(loading);
    EXPECT_TRUE(loading->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return delegate.finished == 1; }, 15000)) << "the booth waits for the page";
    EXPECT_FALSE(logInWindow());
}

// A log-in whose page answers once its session is over (the guest logged in
// at once) neither posts nor shows over the next guest's log-in.
TEST_F(FinalScreenLogInTest, ALogInOfAnEndedSessionNeitherShowsNorPostsInALaterOne) {
    testsupport::LoopbackServer early;
    testsupport::LoopbackServer now;
    const std::string earlyBase = early.baseUrl();
    for (auto* server : {&early, &now}) {
        server->setHandler([server, &early, earlyBase](const testsupport::RecordedRequest& r) -> testsupport::Reply {
            if (r.path == "/oauth/authorize" && server == &early)
                return {302, {{"Location", earlyBase + "/connect/login_success.html#access_token=G&expires_in=0"}}, ""};
            if (r.path == "//me") return {200, {}, R"({"first_name":"Ann","last_name":"Guest"})"};
            if (r.path == "/v2.2/me/photos") return {200, {}, R"({"id":"1"})"};
            return {200, {{"Content-Type", "text/html"}}, "<html><body><form>Log in</form></body></html>"};
        });
    }
    useFacebookAt(earlyBase);
    screen.showSession();
    tapFacebook();
    screen.cleanUp();  // Done, or the countdown

    useFacebookAt(now.baseUrl());
    screen.showSession();
    tapFacebook();
    auto visibleLogIns = [] {
        int visible = 0;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* loading = window->findChild<QLabel*>("LoadingLabel");
            visible += window->objectName() == "FacebookLoginWindow" && window->isVisible() && (!loading || !loading->isVisible());
        }
        return visible;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return visibleLogIns() > 0 && now.requestCount() > 0; }, 15000));
    EXPECT_EQ(visibleLogIns(), 1) << "the earlier guest's log-in shows too";
    EXPECT_EQ(photoPosts(early) + photoPosts(now), 0u);
    EXPECT_TRUE(shares().empty());
    screen.cleanUp();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !logInWindow(); }, 5000)) << "the log-in outlives its session";
}

// A post already on its way when the guest leaves goes out, and its row
// names the print that was posted, not the next guest's.
TEST_F(FinalScreenLogInTest, TheShareRowNamesThePrintThatWasPosted) {
    testsupport::LoopbackServer server;
    const std::string base = server.baseUrl();
    server.setHandler([base](const testsupport::RecordedRequest& r) -> testsupport::Reply {
        if (r.path == "/oauth/authorize")
            return {302, {{"Location", base + "/connect/login_success.html#access_token=G&expires_in=0"}}, ""};
        if (r.path == "//me") return {200, {}, R"({"first_name":"Ann","last_name":"Guest"})"};
        if (r.path == "/v2.2/me/photos") return {200, {}, R"({"id":"1"})", 1500};
        return {200, {{"Content-Type", "text/html"}}, "<html></html>"};
    });
    useFacebookAt(base);
    screen.showSession();
    tapFacebook();
    ASSERT_TRUE(QTest::qWaitFor([&] { return photoPosts(server) == 1; }, 15000));
    screen.cleanUp();
    const QString nextPrint = QString::fromStdString(home.path()) + "/print2.jpg";
    ASSERT_TRUE(QFile::copy(printPath, nextPrint));
    PhotoSession::session().printImagePath = nextPrint;
    screen.showSession();
    auto posted = [] {
        auto rows = WrenDatabase::shared().query("SELECT file_path, to_field FROM share WHERE share_type = 1");
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& row : *rows) out.emplace_back(std::get<std::string>(row[0]), std::get<std::string>(row[1]));
        return out;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !posted().empty(); }, 10000));
    EXPECT_EQ(posted(), (std::vector<std::pair<std::string, std::string>>{{printPath.toStdString(), "Ann Guest"}}));
    EXPECT_TRUE(screen.isCountdownRunning()) << "the next guest's screen goes on";
}

}  // namespace
