#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <thread>
#include <QMessageBox>
#include <QTimer>


#include "CoreTestSupport.h"
#include "base/Files.h"
#include "core/WrenUtils.h"
#include "core/ProgressWindowController.h"
#include "core/UserDefaults.h"
#include "core/WrenAudioPlayer.h"

TEST(ProgressWindow, ShowsFromAnyThreadAndClosesItself) {
    testApp();
    auto* pwc = ProgressWindowController::sharedPrgoressWindowController();
    pwc->showWindowWithImage(QImage(), "", 5);
    EXPECT_EQ(pwc->visibleMessage(), "");  // an empty message shows nothing

    std::thread other([pwc] { pwc->showWindowWithErrorImageAndMessage("No camera connected.", 0.2); });
    other.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pwc->visibleMessage() == "No camera connected."; }, 2000));
    EXPECT_EQ(pwc->window()->objectName(), "ProgressWindow");
    EXPECT_TRUE(pwc->window()->windowFlags() & Qt::FramelessWindowHint);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pwc->visibleMessage().isEmpty(); }, 2000));

    // A new message restarts the delay.
    QImage icon(32, 32, QImage::Format_RGB32);
    icon.fill(Qt::green);
    pwc->showWindowWithImage(icon, "Sending E-mail..", 0.3);
    pwc->showWindowWithImage(icon, "Sharing Image...", 30);
    auto* closer = pwc->findChild<QTimer*>();
    ASSERT_TRUE(closer);
    EXPECT_GT(closer->remainingTime(), 20000) << "the first message's delay would close the second";
    EXPECT_EQ(pwc->visibleMessage(), "Sharing Image...");
    pwc->showWindowWithImage(icon, "Done.", 0.3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pwc->visibleMessage().isEmpty(); }, 2000));
}

TEST(WrenUtilsAlert, ReturnsWhenDismissed) {
    testApp();
    QString shownText;
    QTimer::singleShot(50, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shownText = box->text() + "|" + box->informativeText();
            EXPECT_EQ(box->icon(), QMessageBox::Critical);
            box->accept();
        }
    });
    WrenUtils::showAlertWithMessage("No backgrounds", "Add images to the Green Screen folder.", 2);
    EXPECT_EQ(shownText, "No backgrounds|Add images to the Green Screen folder.");
}
