#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPointingDevice>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QWebEngineView>

#include <algorithm>
#include <map>

#include "BoothTestApp.h"
#include "LoopbackServer.h"
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
    // The screen with its e-mail and SMS buttons, SMS set up, showing a session.
    ShareWindowButtons* showWithShareWindows() {
        for (auto key : {"TWILIO_ACCOUNT_SID", "TWILIO_AUTH_TOKEN", "FROM_TWILIO_NUMBER", "TWILIO_COUNTRY_CODE"})
            UserDefaults::standard().set(key, "49");
        auto* buttons = ShareWindowButtons::install(&screen);
        screen.showSession();
        return buttons;
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
    EXPECT_EQ(message(), "Sharing Image...") << "a queued share's failure is kept and tried again, not shown";
    EXPECT_TRUE(shares().empty());

    // A guest's own post is not kept: its failure is told, a cancel is not.
    screen.stopCountdown();
    screen.sharingDidFailedFor("Facebook", "");
    EXPECT_EQ(message(), "Sharing Image...");
    screen.sharingDidFailedFor("Facebook", "Too slow");
    EXPECT_TRUE(screen.isCountdownRunning());
    EXPECT_EQ(message(), "Your photo was not shared on Facebook: Too slow");
    EXPECT_TRUE(shares().empty());

    screen.stopCountdown();
    twitter->setEnabled(false);
    screen.sharingDidFinishedFor("Twitter", "Tweet sent");
    EXPECT_TRUE(screen.isCountdownRunning());
    EXPECT_TRUE(twitter->isEnabled());
    EXPECT_EQ(message(), "Tweet sent");
    ASSERT_TRUE(QTest::qWaitFor([&] { return shares().size() == 1u; }, 5000));
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
    // Both rows are stored off the interface thread, in either order.
    ASSERT_TRUE(QTest::qWaitFor([&] { return shares().size() == 2u; }, 5000));
    auto rows = shares();
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::tuple<std::int64_t, std::string, std::int64_t>>{
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
    auto* buttons = showWithShareWindows();
    // A guest copies and sends an address and a number, then half types
    // another of each and closes both windows.
    buttons->openEmailWindow();
    QTest::keyClicks(buttons->emailWindow()->emailField(), "sent.one@x.example");
    QTest::keyClick(buttons->emailWindow()->emailField(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(buttons->emailWindow()->emailField(), Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(buttons->emailWindow()->emailField(), Qt::Key_Return);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "") << "the sent address stays on the clipboard";
    buttons->openEmailWindow();
    QTest::keyClicks(buttons->emailWindow()->emailField(), "ann.guest@exa");
    buttons->emailWindow()->closeWindow();
    buttons->openSMSWindow();
    QTest::keyClicks(buttons->smsWindow()->mobileNumberField(), "15123456");
    QTest::keyClick(buttons->smsWindow()->mobileNumberField(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(buttons->smsWindow()->mobileNumberField(), Qt::Key_Insert, Qt::ControlModifier);
    QTest::keyClick(buttons->smsWindow()->mobileNumberField(), Qt::Key_Return);
    buttons->openSMSWindow();
    QTest::keyClicks(buttons->smsWindow()->mobileNumberField(), "01512");
    buttons->smsWindow()->closeWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shares().size() == 2u; }, 5000));

    screen.cleanUp();
    screen.showSession();
    buttons->openEmailWindow();
    buttons->openSMSWindow();
    QPointingDevice* finger = QTest::createTouchDevice();
    for (CustomNSTextField* field : {buttons->emailWindow()->emailField(), buttons->smsWindow()->mobileNumberField()}) {
        SCOPED_TRACE(field->objectName().toStdString());
        EXPECT_EQ(field->text().toStdString(), "");
        // Undo, as often as a curious guest tries it, brings back nobody's entry.
        for (int i = 1; i <= 3; ++i) {
            QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier);
            EXPECT_EQ(field->text().toStdString(), "") << "Ctrl+Z number " << i;
        }
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(field->text().toStdString(), "") << "Ctrl+V pastes what the last guest copied";
        // Nor does an editing menu offer Undo, on a right click or a long press.
        QWidget* window = field->window();
        const QPoint centre = field->mapTo(window, field->rect().center());
        QTest::mouseClick(window->windowHandle(), Qt::RightButton, {}, centre);
        EXPECT_FALSE(QApplication::activePopupWidget()) << "a right click opens a menu";
        if (QWidget* menu = QApplication::activePopupWidget()) menu->close();
        QTest::touchEvent(window, finger).press(0, centre);
        EXPECT_FALSE(QTest::qWaitFor([] { return QApplication::activePopupWidget() != nullptr; }, 1000))
            << "a long press opens a menu";
        QTest::touchEvent(window, finger).release(0, centre);
        if (QWidget* menu = QApplication::activePopupWidget()) menu->close();
    }
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

// A guest types in a share window as long as they like: whatever ends
// meanwhile leaves the countdown waiting for the window, and the session's
// end closes the windows with what was typed in them.
TEST_F(FinalScreenTest, TheCountdownWaitsForTheOpenShareWindowsAndTheSessionsEndClosesThem) {
    auto* buttons = showWithShareWindows();
    buttons->openEmailWindow();
    QTest::keyClicks(buttons->emailWindow()->emailField(), "guest.a@x.example");
    screen.printSessionImage();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !screen.isPrinting(); }, 5000));
    EXPECT_FALSE(screen.isCountdownRunning()) << "the print's end restarts the countdown under the window";
    screen.sharingDidFinishedFor("SMS", "SMS queued");
    screen.sharingDidFailedFor("Facebook", QString());
    EXPECT_FALSE(screen.isCountdownRunning()) << "a post's answer restarts the countdown under the window";
    QTest::keyClick(buttons->emailWindow()->emailField(), Qt::Key_Return);
    EXPECT_TRUE(screen.isCountdownRunning()) << "the window is gone and the countdown still waits";

    // Left open at the session's end, a window closes and forgets its entry.
    for (bool sms : {false, true}) {
        SCOPED_TRACE(sms ? "SMS" : "E-mail");
        if (sms) buttons->openSMSWindow();
        else buttons->openEmailWindow();
        ShareWindowController* window = sms ? static_cast<ShareWindowController*>(buttons->smsWindow())
                                            : buttons->emailWindow();
        QTest::keyClicks(window->field(), sms ? "15123456" : "guest.b@x.example");
        screen.cleanUp();
        EXPECT_FALSE(window->window()->isVisible());
        EXPECT_EQ(window->field()->text().toStdString(), "");
        screen.showSession();
    }
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

// Log-ins started from the final screen, against loopback Facebooks.
struct WebEngineFirst {
    WebEngineFirst() {
        if (!qApp) QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    }
};

class FinalScreenLogInTest : public WebEngineFirst, public FinalScreenTest {};

// A log-in belongs to its session: a post already on its way goes out and its
// row names that session's print; a log-in still pending, or its window,
// ends with the session and never shows or posts in a later one.
TEST_F(FinalScreenLogInTest, ALogInBelongsToTheSessionItWasStartedIn) {
    testsupport::LoopbackServer early;  // logs the guest in at once; posts slowly
    testsupport::LoopbackServer now;    // needs the guest
    for (auto* server : {&early, &now}) {
        server->setHandler([server, &early](const testsupport::RecordedRequest& r) -> testsupport::Reply {
            if (r.path == "/oauth/authorize" && server == &early)
                return {302, {{"Location", early.baseUrl() + "/connect/login_success.html#access_token=G"}}, ""};
            if (r.path == "//me") return {200, {}, R"({"first_name":"Ann","last_name":"Guest"})"};
            if (r.path == "/v2.2/me/photos") return {200, {}, R"({"id":"1"})", 1000};
            // The later guest's page comes after any of the earlier guests'.
            return {200, {{"Content-Type", "text/html"}}, "<html><body><form>Log in</form></body></html>",
                    server == &early ? 0 : 700};
        });
    }
    auto& defaults = UserDefaults::standard();
    keepBoothOnLoopback();
    defaults.set("IS_INTERNET_RECHABLE", "YES");
    auto useFacebookAt = [&](const std::string& base) {
        defaults.set("FacebookGraphURL", base + "/");
        defaults.set("FacebookWebURL", base);
    };
    auto posts = [&] {
        size_t count = 0;
        for (auto* server : {&early, &now})
            for (const auto& r : server->requests()) count += r.path == "/v2.2/me/photos";
        return count;
    };
    auto logInsShown = [] {  // the pages of the log-in windows shown
        QStringList pages;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* loading = window->findChild<QLabel*>("LoadingLabel");
            auto* page = window->findChild<QWebEngineView*>();
            if (window->objectName() == "FacebookLoginWindow" && window->isVisible() && page &&
                (!loading || !loading->isVisible()))
                pages << page->url().toString();
        }
        return pages;
    };
    SocialShareButtons::install(&screen);
    useFacebookAt(early.baseUrl());
    screen.showSession();
    QTest::mouseClick(screen.shareButton("Facebook"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return posts() == 1; }, 15000));
    screen.cleanUp();  // Done, or the countdown

    const QString nextPrint = QString::fromStdString(home.path()) + "/print2.jpg";
    ASSERT_TRUE(QFile::copy(printPath, nextPrint));
    PhotoSession::session().printImagePath = nextPrint;
    screen.showSession();
    QTest::mouseClick(screen.shareButton("Facebook"), Qt::LeftButton);
    screen.cleanUp();  // before the page is in

    useFacebookAt(now.baseUrl());
    screen.showSession();
    QTest::mouseClick(screen.shareButton("Facebook"), Qt::LeftButton);
    const QString nowPage = QString::fromStdString(now.baseUrl());
    ASSERT_TRUE(QTest::qWaitFor([&] { return shares().size() == 1 && !logInsShown().filter(nowPage).isEmpty(); },
                                15000));
    EXPECT_EQ(logInsShown().size(), 1) << "an earlier guest's log-in shows too";
    EXPECT_EQ(posts(), 1u);
    auto rows = WrenDatabase::shared().query("SELECT file_path, to_field FROM share");
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ(std::get<std::string>(rows->at(0)[0]), printPath.toStdString());
    EXPECT_EQ(std::get<std::string>(rows->at(0)[1]), "Ann Guest");
    EXPECT_FALSE(screen.isCountdownRunning()) << "an earlier guest's post resumed this guest's countdown";
    screen.cleanUp();
    EXPECT_TRUE(QTest::qWaitFor([&] { return logInsShown().isEmpty(); }, 5000)) << "the log-in outlives its session";
}

}  // namespace
