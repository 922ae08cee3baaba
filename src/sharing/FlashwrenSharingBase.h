#pragma once
// The base of every sharing service (e-mail, SMS, Facebook, Twitter) and the
// delegate that hears how each attempt went. Every attempt that a service
// begins with beginAttempt() ends in exactly one outcome (finished or failed),
// and every delegate call arrives on the interface thread.
#include <QString>

#include "sharing/SharingRuntime.h"

#include <atomic>
#include <memory>
#include <mutex>

class FlashwrenSharingBaseDelegate {
public:
    virtual ~FlashwrenSharingBaseDelegate() = default;
    // Service names: "Email", "SMS", "Facebook", "Twitter".
    virtual void sharingWillStartFor(const QString& service) = 0;
    virtual void sharingDidFinishedFor(const QString& service, const QString& message) = 0;
    virtual void sharingDidFailedFor(const QString& service, const QString& message) = 0;
    // A failure after the request went out whole with no answer: the
    // service may have carried it out. Delegates that do not tell the two
    // apart hear a failure.
    virtual void sharingGotNoAnswerFor(const QString& service, const QString& message) {
        sharingDidFailedFor(service, message);
    }
    // The attempt's request is still moving, or has just gone out whole.
    virtual void sharingIsMoving(const QString& /*service*/) {}
    // The attempt's request has gone out whole and its answer is awaited.
    // Unlike the others this runs on the sending thread, before the outcome
    // is reported, and holds up the reading of the answer while it runs.
    virtual void sharingWentOutWhole(const QString& /*service*/) {}
};

class FlashwrenSharingBase : public std::enable_shared_from_this<FlashwrenSharingBase> {
public:
    // The delegate is held strongly for the service's life.
    explicit FlashwrenSharingBase(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate = nullptr);
    virtual ~FlashwrenSharingBase() = default;
    FlashwrenSharingBase(const FlashwrenSharingBase&) = delete;
    FlashwrenSharingBase& operator=(const FlashwrenSharingBase&) = delete;

    std::shared_ptr<FlashwrenSharingBaseDelegate> delegate() const;
    void setDelegate(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate);

    // The account the photo went to (set by a service after its log-in).
    QString userNameToWhomFileIsShared() const;
    void setUserNameToWhomFileIsShared(const QString& name);

    // A delegate that lives for the whole run (a screen owned by its window,
    // a singleton), handed over without passing ownership.
    static std::shared_ptr<FlashwrenSharingBaseDelegate> unowned(FlashwrenSharingBaseDelegate* delegate);

protected:
    // Starts an attempt and tells the delegate it will start.
    void beginAttempt(const QString& service);
    // Starts an attempt whose first step (a log-in) comes before the sharing
    // itself: the delegate hears of the start later, through tellWillStart().
    void expectOutcome();
    void tellWillStart(const QString& service);
    // The attempt's one outcome; a second one for the same attempt is dropped
    // (and logged). Both are delivered on the interface thread.
    void reportFinished(const QString& service, const QString& message);
    void reportFailed(const QString& service, const QString& message);
    void reportUnanswered(const QString& service, const QString& message);
    // While the scope lives, this thread's requests tell the delegate that
    // they move and that they went out whole.
    SharingRuntime::MovingScope reportMoving(const QString& service);

private:
    bool takeOutcome(const QString& service);
    mutable std::mutex mutex_;
    std::shared_ptr<FlashwrenSharingBaseDelegate> delegate_;
    QString userName_;
    bool outcomePending_ = false;
};
