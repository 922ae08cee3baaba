// The e-mail and SMS share windows (Qt offscreen).
#include <QInputMethodEvent>
#include <QPointingDevice>
#include <QTest>

#include <functional>
#include <nlohmann/json.hpp>

#include "SharingTestSupport.h"
#include "base/NotificationCenter.h"
#include "core/Models.h"
#include "core/Notifications.h"
#include "core/PhotoSession.h"
#include "core/ProgressWindowController.h"
#include "sharing/ShareWindows.h"

namespace {

struct Screen : FlashwrenSharingBaseDelegate {
    std::vector<std::string> calls;
    void sharingWillStartFor(const QString&) override {}
    void sharingDidFinishedFor(const QString& s, const QString& m) override {
        calls.push_back("done " + s.toStdString() + ": " + m.toStdString());
    }
    void sharingDidFailedFor(const QString& s, const QString& m) override {
        calls.push_back("failed " + s.toStdString() + ": " + m.toStdString());
    }
};

class ShareWindowsTest : public SharingTest {
protected:
    void SetUp() override {
        testApp();
        SharingTest::SetUp();
        PhotoSession::session().printMediaID = 7;
        observer = base::NotificationCenter::defaultCenter().addObserver(
            kFinishSendingEmailNotification, nullptr, nullptr, [this](const base::Notification&) { ++finished; });
    }
    void TearDown() override {
        base::NotificationCenter::defaultCenter().removeObserver(observer);
        ProgressWindowController::sharedPrgoressWindowController()->close();
        SharingTest::TearDown();
    }
    void open(ShareWindowController& c) {
        c.setDelegate(screen);
        c.setPathOfImageToSend(QUrl::fromLocalFile("/prints/IMG_7.jpg"));
        c.showWindow();
    }
    // Refused entries show the message, keep the text and record nothing.
    void expectRefused(ShareWindowController& c, const QString& text, const QString& message) {
        c.field()->setText(text);
        c.send();
        QCoreApplication::processEvents();
        EXPECT_EQ(ProgressWindowController::sharedPrgoressWindowController()->visibleMessage(), message)
            << text.toStdString();
        EXPECT_EQ(c.field()->text(), text);
        EXPECT_TRUE(c.window()->isVisible());
        EXPECT_TRUE(rows().empty());
    }
    std::vector<std::shared_ptr<SharingModel>> rows() { return SharingModel::getAllSharingRecordsWaitingToSend(); }

    std::shared_ptr<Screen> screen = std::make_shared<Screen>();
    int finished = 0;
    base::NotificationCenter::ObserverId observer = 0;
};

TEST_F(ShareWindowsTest, EmailWindowRefusesBadAddressesAndQueuesAGoodOneOnce) {
    ShareViaEmailWindowController window;
    open(window);
    for (QString bad : {"guest@example", "guest example.com", "@example.com", "guest@example.c", ""})
        expectRefused(window, bad, "Invalid Email Address");
    window.emailField()->setText("  guest.name+booth@studio.photography ");
    window.userDidPressToSendEmail();
    ASSERT_TRUE(pumpUntil([&] { return !rows().empty(); }));
    ASSERT_EQ(rows().size(), 1u);
    auto row = rows()[0];
    EXPECT_EQ(row->shareType, SharingTypeEmail);
    EXPECT_EQ(row->toField, "guest.name+booth@studio.photography");
    EXPECT_EQ(row->media_id, 7);
    EXPECT_EQ(row->filePath, "/prints/IMG_7.jpg");
    EXPECT_EQ(screen->calls, (std::vector<std::string>{"done Email: E-mail queued"}));
    EXPECT_TRUE(window.emailField()->text().isEmpty());
    EXPECT_FALSE(window.emailField()->isUndoAvailable()) << "a key brings the sent address back";
    EXPECT_FALSE(window.window()->isVisible());
    EXPECT_EQ(finished, 0);
}

TEST_F(ShareWindowsTest, SmsWindowTakesDigitsOnlyAndAddsTheCountryCode) {
    set("TWILIO_COUNTRY_CODE", "49");
    ShareViaSMSWindowController window;
    open(window);
    for (QString bad : {"+4915123456", "12345", "0151 234 567", "123456789012345"})
        expectRefused(window, bad, "Invalid Mobile Number");
    window.mobileNumberField()->setText("15123456");
    window.userDidPressToSendSMS();
    ASSERT_TRUE(pumpUntil([&] { return !rows().empty(); }));
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0]->shareType, SharingTypeSMS);
    EXPECT_EQ(rows()[0]->toField, "+4915123456");
    EXPECT_EQ(screen->calls, (std::vector<std::string>{"done SMS: SMS queued"}));
}

TEST_F(ShareWindowsTest, ClosingFailsTheShareAndOnlyTheEmailWindowPosts) {
    ShareViaEmailWindowController email;
    ShareViaSMSWindowController sms;
    open(email);
    open(sms);
    sms.closeWindow();
    EXPECT_EQ(finished, 0);
    email.closeWindow();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(screen->calls, (std::vector<std::string>{"failed SMS: ", "failed Email: "}));
    EXPECT_FALSE(email.window()->isVisible());
}

TEST_F(ShareWindowsTest, FieldShortcutsAndBackgroundClicks) {
    ShareViaSMSWindowController window;
    open(window);
    auto* field = window.mobileNumberField();
    field->setText("12345678");
    field->deselect();
    QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
    QKeyEvent all(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier);
    EXPECT_FALSE(field->performKeyEquivalent(&copy)) << "nothing selected, nothing to copy";
    EXPECT_TRUE(field->performKeyEquivalent(&all));
    EXPECT_TRUE(field->performKeyEquivalent(&copy));

    field->setCursorPosition(0);
    auto* background = window.window()->findChild<ShareWindowsContentView*>("ShareWindowsContentView");
    ASSERT_TRUE(background);
    QTest::mouseClick(background, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(field->cursorPosition(), field->text().size());
    EXPECT_FALSE(field->hasSelectedText());
}

// A guest who walks away: each press, touch or key in the window gives the
// guest the whole wait again, a press elsewhere does not, and a window left
// alone closes as Close would, emptied so the next guest finds nothing.
TEST_F(ShareWindowsTest, AWindowLeftAloneClosesEmptyAndEveryTouchInItRestartsTheWait) {
    ShareViaEmailWindowController window;
    auto* watch = window.findChild<IdleWindowWatch*>();
    ASSERT_TRUE(watch);
    IdleInterval idle(std::chrono::seconds(30));
    open(window);
    auto* field = window.emailField();
    auto* background = window.window()->findChild<ShareWindowsContentView*>("ShareWindowsContentView");
    QWidget elsewhere;
    elsewhere.show();
    QPointingDevice* finger = QTest::createTouchDevice();
    const std::vector<std::pair<const char*, std::function<void()>>> touches{
        {"a press on the field", [&] { QTest::mouseClick(field, Qt::LeftButton); }},
        {"a press beside the panel", [&] { QTest::mouseClick(background, Qt::LeftButton, {}, QPoint(2, 2)); }},
        {"a key", [&] { QTest::keyClick(field, Qt::Key_G); }},
        {"a touch", [&] {
             QTest::touchEvent(window.window(), finger).press(0, QPoint(5, 5));
             QTest::touchEvent(window.window(), finger).release(0, QPoint(5, 5));
         }},
        {"the on-screen keyboard's typing", [&] {
             QInputMethodEvent typed;
             typed.setCommitString("u");
             QCoreApplication::sendEvent(field, &typed);
         }},
    };
    for (const auto& [what, touch] : touches) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return watch->remainingTime() < 29'000; }, 5000));
        touch();
        EXPECT_GT(watch->remainingTime(), 29'500) << what;
    }
    const int before = watch->remainingTime();
    QTest::mouseClick(&elsewhere, Qt::LeftButton);
    EXPECT_LE(watch->remainingTime(), before) << "a press on another window";
    // An entry refused with a message: the message coming and going is no
    // touch, and the wait goes on through it.
    ASSERT_TRUE(QTest::qWaitFor([&] { return watch->remainingTime() < 29'000; }, 5000));
    const int atSend = watch->remainingTime();
    window.send();
    ASSERT_EQ(ProgressWindowController::sharedPrgoressWindowController()->visibleMessage(), "Invalid Email Address");
    const int during = watch->remainingTime();
    EXPECT_TRUE(during > 0 && during <= atSend) << "the message restarts or ends the wait: " << during << " ms left";
    ProgressWindowController::sharedPrgoressWindowController()->close();
    EXPECT_GT(watch->remainingTime(), 0) << "the message's going ends the wait";
    EXPECT_TRUE(screen->calls.empty());

    idle.set(std::chrono::milliseconds(200));
    QTest::keyClicks(field, "est.a@x.example");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.window()->isVisible(); }, 10000)) << "the window stays open";
    EXPECT_EQ(field->text(), "");
    EXPECT_FALSE(field->isUndoAvailable()) << "a key brings the last guest's address back";
    EXPECT_EQ(screen->calls, (std::vector<std::string>{"failed Email: "}));
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(watch->remainingTime(), -1);
}

}  // namespace
