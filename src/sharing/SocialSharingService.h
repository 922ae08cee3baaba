#pragma once
// The share queue: every 20 seconds while the internet is reachable it sends
// the pending share rows one at a time through the sharing services, marks
// each done or stores its error, and reports sent e-mails and SMS messages to
// share tracking and usage tracking. SocialServiceHelper is the one place
// where share rows are made.
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "base/Scheduler.h"
#include "core/Models.h"
#include "sharing/FlashwrenSharingBase.h"
#include "sharing/SharingRuntime.h"

class SocialServiceHelper {
public:
    // Inserts one share row and returns it; null when the database cannot
    // take it now, when the row is kept and stored later. It may wait out the
    // database's lock: not for the interface thread. `count` is not used.
    // Done Facebook and Twitter shares stored at once are reported to share
    // tracking.
    static std::shared_ptr<SharingModel> trackShareOfType(int type, int shareStatus, std::int64_t fileID, int count,
                                                          const QString& data, const QString& toField);
    // The row trackShareOfType would insert, not inserted.
    static std::shared_ptr<SharingModel> shareOfType(int type, int shareStatus, std::int64_t fileID,
                                                     const QString& data, const QString& toField);
    // Records a guest's pending share off the calling thread: never waits on
    // the database. It is kept on disk at once, so that it outlives a quit
    // or a crash, stored once the database takes it and sent by the queue
    // then.
    static void recordPendingShare(std::shared_ptr<SharingModel> share);
};

class SocialSharingService;

// The delegate of one attempt at one row: outcomes that arrive after the
// attempt was given up (the two-minute limit) are ignored.
class ShareAttempt : public FlashwrenSharingBaseDelegate {
public:
    ShareAttempt(std::uint64_t id, std::shared_ptr<SharingModel> row) : id_(id), row_(std::move(row)) {}
    std::uint64_t id() const { return id_; }
    std::shared_ptr<SharingModel> row() const { return row_; }

    void sharingWillStartFor(const QString& service) override;
    void sharingDidFinishedFor(const QString& service, const QString& message) override;
    void sharingDidFailedFor(const QString& service, const QString& message) override;
    void sharingGotNoAnswerFor(const QString& service, const QString& message) override;
    void sharingIsMoving(const QString& service) override;
    // Marks the row in the database: should the booth stop before the answer
    // comes, the next start treats the share as one that got no answer.
    void sharingWentOutWhole(const QString& service) override;
    // Leaves the row as it is for this run and goes on (a throttled service).
    void skip();

private:
    std::uint64_t id_;
    std::shared_ptr<SharingModel> row_;
};

class SocialSharingService {
public:
    static constexpr std::chrono::seconds kRunInterval{20};
    // How long the row in flight may keep still before the queue gives up on
    // it. Past the request's own answer wait, so that a service's request
    // that gets no answer reports that itself; this limit catches senders
    // that never report.
    static constexpr std::chrono::seconds kAttemptLimit = SharingRuntime::kAnswerWait + std::chrono::seconds(10);
    // A share that went out but got no answer may have been delivered: it is
    // tried again only after these waits, doubling from the first up to the
    // longest, never at the next run.
    static constexpr std::chrono::minutes kFirstUnansweredWait{4};
    static constexpr std::chrono::minutes kLongestUnansweredWait{60};

    // Called once at start-up on the interface thread: makes the queue and
    // schedules its first run. Later calls do nothing.
    static void initSocialSharingService();
    // The queue, or null before initSocialSharingService.
    static SocialSharingService* shared();

    // A sender for a share type the queue does not send itself (the business
    // page post); it runs on the interface thread and reports through the
    // attempt.
    using Sender = std::function<void(std::shared_ptr<ShareAttempt> attempt)>;
    static void registerSender(int shareType, Sender sender);

    void scheduleSocialServiceForNextExecution();
    void startSocialServiceExecution();
    void startSharingNextItem();

    // Whether a run is waiting, under way, and whether a row is in flight.
    bool isRunScheduled() const;
    bool isRunning() const { return running_; }
    bool isSending() const { return modelInExecution_ != nullptr; }

private:
    friend class ShareAttempt;
    SocialSharingService() = default;
    void startSharing();
    static bool sends(int shareType);
    void startEmailSharing(std::shared_ptr<ShareAttempt> attempt);
    void startSMSSharing(std::shared_ptr<ShareAttempt> attempt);
    std::shared_ptr<ShareAttempt> newAttempt();
    // The attempt limit of the row in flight, counted from now: a request
    // that still moves, or has just gone out, is not given up.
    void startAttemptLimit(std::uint64_t attemptID);
    void attemptMoving(std::uint64_t attemptID);
    void attemptFinished(std::uint64_t attemptID, const QString& service, const QString& message);
    void attemptFailed(std::uint64_t attemptID, const QString& service, const QString& message);
    void attemptSkipped(std::uint64_t attemptID);
    void attemptUnanswered(std::uint64_t attemptID, const QString& service, const QString& message);
    // Stores a failed attempt; `unanswered` holds the row back.
    void storeFailure(const QString& service, const QString& message, bool unanswered);
    // Whether a row waits out its time after an unanswered attempt. A row
    // this run has not seen fail that way, but whose stored error says so
    // (an earlier run of the booth), begins its first wait now.
    bool isHeldBack(const SharingModel& row);
    void endAttempt();
    bool isCurrent(std::uint64_t attemptID) const;
    // The row in flight has answered: later answers and the time limit no
    // longer count for it.
    void answered();
    // Runs `write` off the interface thread, then `then` with its outcome
    // and, on failure, the database's reason, on the interface thread.
    void writeThen(std::function<bool()> write, std::function<void(bool ok, QString why)> then);
    // Stores the marks of shares sent while the database could not record
    // them; false (with the reason) when some are still unstored.
    bool storeSentMarks(QString* why);
    bool wasSentThisRun(std::int64_t rowID);
    // Shares wait because the database cannot record them: said once in the
    // log, and on the operator's notice until writing works again.
    void databaseCannotRecord(const QString& why);
    void databaseRecordsAgain();

    std::deque<std::shared_ptr<SharingModel>> allSharingItemsToResend_;
    std::shared_ptr<SharingModel> modelInExecution_;
    bool running_ = false;
    std::uint64_t currentAttempt_ = 0;
    std::uint64_t nextAttempt_ = 1;
    base::Scheduler::TimerId runTimer_ = 0;      // the pending run ("dummyRegisterObject")
    base::Scheduler::TimerId attemptTimer_ = 0;  // the two-minute limit of the row in flight, from its last move
    QDateTime triedBefore_;  // the dateLastTried of the row in flight before this attempt
    bool waitingForDatabase_ = false;
    // Sent in this run, but their "done" is not yet stored: never sent again.
    std::mutex sentMutex_;
    std::map<std::int64_t, std::shared_ptr<SharingModel>> sentUnrecorded_;
    // Rows whose last attempt got no answer: when they may go again, and the
    // wait that led there (on the scheduler's clock).
    struct HeldBack {
        base::TimePoint notBefore;
        base::Duration wait;
    };
    std::map<std::int64_t, HeldBack> heldBack_;
};
