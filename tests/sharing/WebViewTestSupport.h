#pragma once
// Web-view tests: the web engine is set up before the test application
// exists, and the Qt event loop is pumped together with the test main queue.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

#include "SharingTestSupport.h"

inline bool prepareWebEngine() {
    static const bool ready = [] {
        // Root in a container has no user namespace for the renderer's sandbox.
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --no-sandbox");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        return true;
    }();
    return ready;
}

class WebViewTest : public SharingTest {
protected:
    void SetUp() override {
        prepareWebEngine();
        testApp();
        SharingTest::SetUp();
    }
    void TearDown() override {
        // Let dropped views and their profiles go (and close their
        // connections) before the test's servers stop.
        settle();
        SharingTest::TearDown();
    }
    UserDefaults& defaults() { return UserDefaults::standard(); }
    // Pumps the Qt event loop and the test main queue until `done` holds.
    bool pumpEventsUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > timeoutMs) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            main.runPending();
        }
        return true;
    }
    // Runs what is due now: Qt's events, deferred deletions and the test
    // main queue's tasks, with what they post in turn, until a round runs
    // nothing of the main queue.
    void settle() {
        for (int round = 0; round < 100; ++round) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            if (main.runPending() == 0) return;
        }
    }
};
