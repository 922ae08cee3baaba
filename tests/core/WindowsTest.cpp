#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <thread>

#include "CoreTestSupport.h"
#include "base/Files.h"
#include "core/MainQueue.h"
#include "core/PhotoSession.h"
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
    QTest::qWait(150);
    pwc->showWindowWithImage(icon, "Sharing Image...", 0.3);
    QTest::qWait(200);
    EXPECT_EQ(pwc->visibleMessage(), "Sharing Image...");
    ASSERT_TRUE(QTest::qWaitFor([&] { return pwc->visibleMessage().isEmpty(); }, 2000));
}

TEST(MainQueue, RunsWorkOnTheInterfaceThread) {
    auto& app = testApp();
    std::atomic<bool> ran{false};
    QThread* seen = nullptr;
    std::thread other([&] {
        EXPECT_FALSE(MainQueue::shared().isCurrent());
        runOnMainThread([&] {
            seen = QThread::currentThread();
            ran = true;
        });
    });
    other.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran.load(); }, 2000));
    EXPECT_EQ(seen, app.thread());
    bool inline_ = false;
    runOnMainThread([&] { inline_ = true; });
    EXPECT_TRUE(inline_);
}

TEST(WrenAudioPlayer, PicksTheFileOfTheVoiceSet) {
    testsupport::ScopedHome home;
    auto& d = UserDefaults::standard();
    EXPECT_EQ(WrenAudioPlayer::pathForAudioName("smile.mp3"), "");  // voice "None" by default
    std::string custom = home.path() + "/voice";
    base::writeFileAtomically(custom + "/smile.mp3", "ID3");
    d.set("AUDIO_VOICE", "Custom");
    d.set("CUSTOM_VOICE_FOLDER_PATH", custom);
    EXPECT_EQ(WrenAudioPlayer::pathForAudioName("smile.mp3").toStdString(), custom + "/smile.mp3");
    EXPECT_EQ(WrenAudioPlayer::pathForAudioName("None"), "");
    EXPECT_EQ(WrenAudioPlayer::pathForAudioName("missing.mp3"), "");
}

TEST(PhotoSession, ResetClearsTheRecordButNotTheRunCount) {
    auto& s = PhotoSession::session();
    s.printImagePath = "/p.jpg";
    s.printMediaID = 4;
    s.printsMade = 2;
    s.imagesUsed << "a.jpg";
    PhotoSession::resetPrintsThisRun();
    PhotoSession::addPrintThisRun();
    s.reset();
    EXPECT_TRUE(s.printImagePath.isEmpty());
    EXPECT_EQ(s.printMediaID, 0);
    EXPECT_EQ(s.printsMade, 0);
    EXPECT_TRUE(s.imagesUsed.isEmpty());
    EXPECT_EQ(PhotoSession::printsThisRun(), 1);
}
