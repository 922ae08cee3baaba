#pragma once
// Usage tracking: event and screen-view hits of the Measurement Protocol
// (version 1). Every hit leaves the caller's thread before the network is
// touched; hits made while offline wait as property-list files in the
// "squeue" folder and are resent by a one-shot timer armed again after
// each pass.
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>

#include "base/Scheduler.h"

#include "sharing/SharingRuntime.h"

using HitFields = FormFields;

class GoogleTracker {
public:
    static GoogleTracker& sharedGoogleTracker();

    std::shared_future<void> trackeEventWithCategory(const QString& category, const QString& action,
                                                    const QString& label = {}, const QString& value = {});
    std::shared_future<void> trackScreen(const QString& screenName);

    HitFields getBaseParams() const;
    // The installation's identifier, as read when the tracker was made.
    const QString& googleClientID() const { return googleClientID_; }
    // Online: posts now; offline: stores the hit in the queue folder. Runs on
    // the calling thread (a background one).
    void postToGoogleWithParams(const HitFields& hit);
    bool postSavedDataToGoogle(const HitFields& hit);
    // The blocking post; true when the reply's status is 200.
    static bool postToGoogle(const QString& url, const HitFields& hit);
    // Writes the hit as "<folder>/<ms since 1970>.plist", never replacing a
    // file: a name already taken gets a numbered suffix. The path, or "".
    static QString storeHit(const QString& folder, const HitFields& hit);

    // Waits, at most `timeout`, until every hit made so far is sent or stored;
    // true when none is left. At quit, so that no hit is cut off half-way and
    // nothing is logged after the program's loggers are gone.
    bool waitForPendingHits(std::chrono::milliseconds timeout);

    // Read on the interface thread at start-up and kept (hits are made on any thread).
    void captureScreenSize();
    void setScreenSize(int width, int height);
    // "flashwren/<version> (X11; Linux <machine>; <system name> <version>)"
    static QString userAgent(const QString& shortVersion, const QString& osReleaseText, const QString& machine);

private:
    GoogleTracker();
    std::shared_future<void> send(HitFields hit);
    QString googleClientID_;
    QString userAgent_;
    std::atomic<int> screenWidth_{0};
    std::atomic<int> screenHeight_{0};
    std::mutex pendingMutex_;
    std::condition_variable pendingDone_;
    int pendingHits_ = 0;
};

class Analytics {
public:
    // Made at start-up on the interface thread: keeps the screen size and
    // arms the resend timer.
    static Analytics& sharedAnalytics();

    static void trackNewPhotoSession(const QString& name);
    static void trackGreenScreen();
    static void trackCapture(const QString& category, const QString& cameraModel);
    static void trackShare(const QString& serviceName);
    static void trackPrint(const QString& label, int count);
    static void trackEventWithCategory(const QString& category, const QString& action, const QString& label,
                                       const QString& value);
    static void trackVideoSession();
    static void trackEffect(const QString& name);
    static void trackCrash();

    // One resend pass over the queue folder, on the calling thread. Returns
    // false when the pass was skipped (offline) or the folder could not be
    // listed; the timer is armed again either way.
    bool startUploadingOldAnalyticsData();
    static constexpr std::chrono::seconds kResendInterval{60};
    bool isTimerPending();
    // Arms the one-shot resend timer (replacing a pending one).
    void startTimer();

private:
    Analytics();
    void startProcessingWithNewThread();
    std::mutex mutex_;
    base::Scheduler::TimerId retryAnalyticsDataTimer_ = 0;
};
