#include "sharing/SocialSharingService.h"

#include <QUrl>

#include <mutex>

#include "base/Log.h"
#include "core/Database.h"
#include "core/KeptRows.h"
#include "core/OperatorNotice.h"
#include "core/WrenUtils.h"
#include "sharing/Analytics.h"
#include "sharing/EmailSharing.h"
#include "sharing/FacebookSharing.h"
#include "sharing/GlimmerlyApi.h"
#include "sharing/SMSSharing.h"
#include "sharing/SendGrid.h"
#include "sharing/SharingRuntime.h"
#include "templates/TEUtils.h"

namespace {

QString setting(const char* key) {
    QVariant value = TEUtils::getUserSettingForKey(QString::fromLatin1(key));
    return value.isValid() ? value.toString() : QString();
}

std::mutex gSendersMutex;
std::map<int, SocialSharingService::Sender>& senders() {
    static std::map<int, SocialSharingService::Sender> map;
    return map;
}

SocialSharingService* gService = nullptr;

const QString kDatabaseNotice = QStringLiteral("SocialSharingService.database");

QString databaseReason() { return QString::fromStdString(WrenDatabase::shared().lastError()); }

void onMain(base::Task task) { SharingRuntime::mainExecutor().post(std::move(task)); }

QString serviceName(int type) {
    switch (type) {
    case SharingTypeEmail: return QStringLiteral("Email");
    case SharingTypeSMS: return QStringLiteral("SMS");
    case SharingTypeFacebookPage: return QStringLiteral("Facebook");
    default: return QString::number(type);
    }
}

}  // namespace

// SocialServiceHelper ---------------------------------------------------------

std::shared_ptr<SharingModel> SocialServiceHelper::shareOfType(int type, int shareStatus, std::int64_t fileID,
                                                              const QString& data, const QString& toField) {
    auto row = std::make_shared<SharingModel>();
    const QDateTime now = QDateTime::currentDateTime();
    row->toField = toField;
    row->dateEntered = now;
    if (type != SharingTypeEmail && type != SharingTypeFacebookPage) {
        row->dateSent = now;
        row->dateLastTried = now;
    }
    row->done = shareStatus;
    row->filePath = data;
    row->lastError = QString();
    row->media_id = fileID;
    row->shareType = type;
    return row;
}

void SocialServiceHelper::recordPendingShare(std::shared_ptr<SharingModel> share) { KeptRows::recordShare(share); }

std::shared_ptr<SharingModel> SocialServiceHelper::trackShareOfType(int type, int shareStatus, std::int64_t fileID,
                                                                   int /*count*/, const QString& data,
                                                                   const QString& toField) {
    auto row = shareOfType(type, shareStatus, fileID, data, toField);
    // A row the database cannot take now is kept and stored once it can.
    if (!KeptRows::saveOrKeep(row)) return nullptr;
    if ((type == SharingTypeFacebook || type == SharingTypeTwitter) && shareStatus == 1) {
        spdlog::info("SocialServiceHelper: tracking share detials for {}....and SharingStatus={}", type, shareStatus);
        QString message = setting(type == SharingTypeFacebook ? "FACEBOOK_SHARING_TEXT" : "TWITTER_SHARING_TEXT");
        GlimmerlyApi().uploadTrackingDetailsOnGlimmerlyWSFor(*row, message, QString());
    }
    return row;
}

// ShareAttempt ----------------------------------------------------------------

void ShareAttempt::sharingWillStartFor(const QString&) {}

void ShareAttempt::sharingDidFinishedFor(const QString& service, const QString& message) {
    auto id = id_;
    onMain([id, service, message] {
        if (gService) gService->attemptFinished(id, service, message);
    });
}

void ShareAttempt::sharingDidFailedFor(const QString& service, const QString& message) {
    auto id = id_;
    onMain([id, service, message] {
        if (gService) gService->attemptFailed(id, service, message);
    });
}

void ShareAttempt::sharingGotNoAnswerFor(const QString& service, const QString& message) {
    auto id = id_;
    onMain([id, service, message] {
        if (gService) gService->attemptUnanswered(id, service, message);
    });
}

void ShareAttempt::sharingIsMoving(const QString&) {
    auto id = id_;
    onMain([id] {
        if (gService) gService->attemptMoving(id);
    });
}

void ShareAttempt::sharingWentOutWhole(const QString&) {
    const QString mark = QStringLiteral("No answer yet: the share went out whole and its answer is awaited.");
    if (!row_->recordAwaitingAnswer(mark))
        spdlog::error("SocialSharing: could not mark share {} as awaiting its answer", row_->ID);
}

void ShareAttempt::skip() {
    auto id = id_;
    onMain([id] {
        if (gService) gService->attemptSkipped(id);
    });
}

// SocialSharingService --------------------------------------------------------

void SocialSharingService::initSocialSharingService() {
    if (gService) return;
    FBBusinessSharingManager::registerWithShareQueue();
    gService = new SocialSharingService();
    gService->scheduleSocialServiceForNextExecution();
}

SocialSharingService* SocialSharingService::shared() { return gService; }

void SocialSharingService::registerSender(int shareType, Sender sender) {
    std::lock_guard lock(gSendersMutex);
    senders()[shareType] = std::move(sender);
}

bool SocialSharingService::isRunScheduled() const { return SharingRuntime::scheduler().isPending(runTimer_); }

void SocialSharingService::scheduleSocialServiceForNextExecution() {
    running_ = false;
    auto& scheduler = SharingRuntime::scheduler();
    if (runTimer_) scheduler.cancel(runTimer_);
    runTimer_ = scheduler.after(kRunInterval, &SharingRuntime::mainExecutor(), [this] {
        runTimer_ = 0;
        startSocialServiceExecution();
    });
}

void SocialSharingService::startSocialServiceExecution() {
    if (running_) return;  // the run under way schedules the next one itself
    if (!WrenUtils::isInternetRechable()) {
        scheduleSocialServiceForNextExecution();
        return;
    }
    running_ = true;
    // The pending rows are read off the interface thread; marks that could
    // not be stored before are stored first.
    SharingRuntime::backgroundExecutor().post([this] {
        QString why;
        const bool marksStored = storeSentMarks(&why);
        auto rows = SharingModel::getAllSharingRecordsWaitingToSend();
        std::erase_if(rows, [this](const auto& row) { return wasSentThisRun(row->ID); });
        onMain([this, rows = std::move(rows), marksStored, why]() mutable {
            if (!marksStored) databaseCannotRecord(why);
            std::erase_if(rows, [this](const auto& row) { return isHeldBack(*row); });
            allSharingItemsToResend_.assign(rows.begin(), rows.end());
            if (allSharingItemsToResend_.empty()) {
                // Nothing waits any more.
                if (marksStored) databaseRecordsAgain();
                scheduleSocialServiceForNextExecution();
                return;
            }
            startSharingNextItem();
        });
    });
}

bool SocialSharingService::storeSentMarks(QString* why) {
    std::vector<std::shared_ptr<SharingModel>> marks;
    {
        std::lock_guard lock(sentMutex_);
        for (auto& [id, row] : sentUnrecorded_) marks.push_back(row);
    }
    for (auto& row : marks) {
        if (!row->update()) {
            *why = databaseReason();
            return false;
        }
        spdlog::info("SocialSharing: share {} is marked as sent now", row->ID);
        std::lock_guard lock(sentMutex_);
        sentUnrecorded_.erase(row->ID);
    }
    return true;
}

bool SocialSharingService::wasSentThisRun(std::int64_t rowID) {
    std::lock_guard lock(sentMutex_);
    return sentUnrecorded_.count(rowID) > 0;
}

void SocialSharingService::databaseCannotRecord(const QString& why) {
    if (waitingForDatabase_) return;
    waitingForDatabase_ = true;
    spdlog::error("SocialSharing: shares wait: the database cannot be written ({}); they are sent once it can",
                  why.toStdString());
    OperatorNotice::shared().post(
        kDatabaseNotice,
        QStringLiteral("Shares are waiting: the database cannot be written (%1). They are sent once it can.").arg(why));
}

void SocialSharingService::databaseRecordsAgain() {
    if (!waitingForDatabase_) return;
    waitingForDatabase_ = false;
    spdlog::info("SocialSharing: the database can be written again; waiting shares are sent");
    OperatorNotice::shared().withdraw(kDatabaseNotice);
}

void SocialSharingService::writeThen(std::function<bool()> write, std::function<void(bool, QString)> then) {
    SharingRuntime::backgroundExecutor().post([write = std::move(write), then = std::move(then)]() mutable {
        const bool ok = write();
        const QString why = ok ? QString() : databaseReason();
        onMain([then = std::move(then), ok, why] { then(ok, why); });
    });
}

void SocialSharingService::startSharingNextItem() {
    if (allSharingItemsToResend_.empty()) {
        spdlog::info("SocialSharingService: Finished sharing all items found in this run so sleepig now...");
        scheduleSocialServiceForNextExecution();
        return;
    }
    modelInExecution_ = allSharingItemsToResend_.front();
    // A row of a type the queue does not send is left as it is.
    if (!sends(modelInExecution_->shareType)) return startSharing();
    // The attempt is stored before anything is sent, and nothing is sent
    // unless it was: a share the database cannot record would otherwise go
    // out again at every run.
    auto row = modelInExecution_;
    triedBefore_ = row->dateLastTried;
    auto pending = std::make_shared<bool>(true);
    writeThen([row, pending] { return row->recordAttempt(QDateTime::currentDateTime(), pending.get()); },
              [this, row, pending](bool ok, const QString& why) {
                  if (modelInExecution_ != row) return;
                  if (!ok) {
                      databaseCannotRecord(why);
                      allSharingItemsToResend_.clear();
                      modelInExecution_.reset();
                      scheduleSocialServiceForNextExecution();
                      return;
                  }
                  databaseRecordsAgain();
                  if (!*pending) {
                      // Retired or sent meanwhile.
                      spdlog::info("SocialSharing: share {} is no longer pending", row->ID);
                      allSharingItemsToResend_.pop_front();
                      modelInExecution_.reset();
                      startSharingNextItem();
                      return;
                  }
                  startSharing();
              });
}

std::shared_ptr<ShareAttempt> SocialSharingService::newAttempt() {
    currentAttempt_ = nextAttempt_++;
    auto attempt = std::make_shared<ShareAttempt>(currentAttempt_, modelInExecution_);
    startAttemptLimit(currentAttempt_);
    return attempt;
}

void SocialSharingService::startAttemptLimit(std::uint64_t id) {
    auto& scheduler = SharingRuntime::scheduler();
    if (attemptTimer_) scheduler.cancel(attemptTimer_);
    attemptTimer_ = scheduler.after(kAttemptLimit, &SharingRuntime::mainExecutor(), [this, id] {
        if (!isCurrent(id)) return;
        spdlog::error("SocialSharing: no answer for share {} within {} seconds, giving up on it for this run",
                      modelInExecution_->ID, kAttemptLimit.count());
        // The request may be out and acted on: the row is held back.
        attemptUnanswered(id, serviceName(modelInExecution_->shareType),
                          QStringLiteral("No answer from the sharing service within two minutes."));
    });
}

void SocialSharingService::attemptMoving(std::uint64_t attemptID) {
    if (isCurrent(attemptID)) startAttemptLimit(attemptID);
}

bool SocialSharingService::isCurrent(std::uint64_t attemptID) const {
    return modelInExecution_ && attemptID == currentAttempt_;
}

bool SocialSharingService::sends(int type) {
    if (type == SharingTypeEmail || type == SharingTypeSMS) return true;
    std::lock_guard lock(gSendersMutex);
    auto it = senders().find(type);
    return it != senders().end() && it->second;
}

void SocialSharingService::startSharing() {
    const int type = modelInExecution_->shareType;
    if (type == SharingTypeEmail) return startEmailSharing(newAttempt());
    if (type == SharingTypeSMS) {
        auto attempt = newAttempt();
        SharingRuntime::backgroundExecutor().post([this, attempt] { startSMSSharing(attempt); });
        return;
    }
    Sender sender;
    {
        std::lock_guard lock(gSendersMutex);
        auto it = senders().find(type);
        if (it != senders().end()) sender = it->second;
    }
    if (sender) return sender(newAttempt());
    spdlog::warn("SharingService: opps don't know this sharing type....{}", type);
    allSharingItemsToResend_.pop_front();
    modelInExecution_.reset();
    startSharingNextItem();
}

void SocialSharingService::startEmailSharing(std::shared_ptr<ShareAttempt> attempt) {
    const auto row = attempt->row();
    if (row->filePath.isEmpty()) {
        spdlog::error("SharingService: EmailSharing - file path of image to share is not valid..{}",
                      row->filePath.toStdString());
        attempt->sharingDidFailedFor(EmailSharing::kService,
                                     QStringLiteral("EmailSharing - file path of image to share is not valid.."));
        return;
    }
    spdlog::info("SharingService: EmailSharing - starting to send email...");
    EmailMessage message;
    message.to = row->toField;
    QString replyTo = setting("EMAIL_FROM");
    message.replyto = replyTo.isEmpty() ? SendGrid::noReplyAddress() : replyTo;
    message.subject = setting("EMAIL_SUBJECT");
    message.body = setting("EMAIL_BODY");
    message.pathOfImageToSend = QUrl::fromLocalFile(row->filePath);
    EmailSharing::create(attempt)->sendEmailUsingSendGrid(message);
}

void SocialSharingService::startSMSSharing(std::shared_ptr<ShareAttempt> attempt) {
    const auto row = attempt->row();
    if (row->filePath.isEmpty()) {
        spdlog::error("SharingService: startSMSSharing - file path of image to share is not valid..{}",
                      row->filePath.toStdString());
        attempt->sharingDidFailedFor(
            SMSSharing::kService,
            QStringLiteral("SMSSharing - file path of image to share is not valid.. %1").arg(row->filePath));
        return;
    }
    spdlog::info("SharingService: SMSSharing - starting to send sms...");
    auto media = MediaItemModel::loadMediaItemWithID(row->media_id);
    // Shared while its print's row waited to be stored: found by the print.
    if (!media && row->media_id <= 0) media = MediaItemModel::loadMediaItemWithFilePath(row->filePath);
    if (!media || !WrenUtils::hasValue(QUrl(media->uploadURL).path())) {
        spdlog::info("SharingService: SMSSharing - can't send sms as image online URL is not yet available...");
        attempt->sharingDidFailedFor(SMSSharing::kService,
                                     QStringLiteral("SMSSharing - image online URL is not yet available.."));
        return;
    }
    SMSSharing::create(attempt)->sendSMSToNumber(row->toField, QUrl(media->uploadURL).toString(QUrl::FullyEncoded));
}

void SocialSharingService::answered() {
    SharingRuntime::scheduler().cancel(attemptTimer_);
    attemptTimer_ = 0;
    currentAttempt_ = 0;
}

void SocialSharingService::endAttempt() {
    answered();
    if (!allSharingItemsToResend_.empty() && allSharingItemsToResend_.front() == modelInExecution_)
        allSharingItemsToResend_.pop_front();
    modelInExecution_.reset();
    onMain([this] { startSharingNextItem(); });
}

void SocialSharingService::attemptFinished(std::uint64_t attemptID, const QString& service, const QString& message) {
    if (!isCurrent(attemptID)) {
        spdlog::warn("SocialSharing: ignoring a late answer from {} ({})", service.toStdString(), message.toStdString());
        return;
    }
    answered();
    auto row = modelInExecution_;
    spdlog::info("SocialSharing: shared image for [{}] for image [{}]. ", service.toStdString(),
                 row->filePath.toStdString());
    heldBack_.erase(row->ID);
    const QDateTime now = QDateTime::currentDateTime();
    row->lastError = QString();
    row->dateLastTried = now;
    row->dateSent = now;
    row->done = 1;
    if (service == QLatin1String("Facebook"))
        row->toField = setting("SELECTED_BUSINESS_FB_PAGE") + " - " + setting("BUSINESS_FACEBOOK_ALBUM");

    if (service == QLatin1String(EmailSharing::kService)) {
        GlimmerlyApi().uploadTrackingDetailsOnGlimmerlyWSFor(*row, setting("EMAIL_BODY"), setting("EMAIL_FROM"));
        Analytics::trackShare(QStringLiteral("Email"));
    } else if (service == QLatin1String(SMSSharing::kService)) {
        QString text = setting("SMS_SHARING_TEXT");
        if (text.isEmpty()) text = QStringLiteral("Here is your photo");
        // Tracking gets the number without "+"; the stored row keeps it.
        SharingModel tracked = *row;
        tracked.toField.remove('+');
        GlimmerlyApi().uploadTrackingDetailsOnGlimmerlyWSFor(tracked, text, setting("FROM_TWILIO_NUMBER"));
        Analytics::trackShare(QStringLiteral("SMS"));
    }
    auto stored = std::make_shared<SharingModel>(*row);
    writeThen([stored] { return stored->update(); },
              [this, stored](bool ok, const QString& why) {
                  if (!ok) {
                      // Sent is sent: it is never sent again in this run, and
                      // the mark is stored at a later run.
                      spdlog::error("SocialSharing: could not mark share {} as sent; it is not sent again and the "
                                    "mark is stored once the database can be written",
                                    stored->ID);
                      {
                          std::lock_guard lock(sentMutex_);
                          sentUnrecorded_[stored->ID] = stored;
                      }
                      databaseCannotRecord(why);
                  }
                  endAttempt();
              });
}

void SocialSharingService::attemptFailed(std::uint64_t attemptID, const QString& service, const QString& message) {
    if (!isCurrent(attemptID)) {
        spdlog::warn("SocialSharing: ignoring a late failure from {} ({})", service.toStdString(),
                     message.toStdString());
        return;
    }
    answered();
    storeFailure(service, message, false);
}

void SocialSharingService::attemptUnanswered(std::uint64_t attemptID, const QString& service, const QString& message) {
    if (!isCurrent(attemptID)) {
        spdlog::warn("SocialSharing: ignoring a late report from {} ({})", service.toStdString(),
                     message.toStdString());
        return;
    }
    answered();
    storeFailure(service, message, true);
}

void SocialSharingService::storeFailure(const QString& service, const QString& message, bool unanswered) {
    auto row = modelInExecution_;
    spdlog::error("SocialSharing: can't share image on [{}]. Failed reason is :{}", service.toStdString(),
                  message.toStdString());
    if (unanswered) {
        auto it = heldBack_.find(row->ID);
        const base::Duration longest = kLongestUnansweredWait;
        const base::Duration wait =
            it == heldBack_.end() ? base::Duration(kFirstUnansweredWait) : std::min<base::Duration>(2 * it->second.wait, longest);
        heldBack_[row->ID] = HeldBack{SharingRuntime::scheduler().clock().now() + wait, wait};
        spdlog::warn("SocialSharing: share {} may have reached {} though no answer came; it is tried again in {} "
                     "minutes, not at the next run",
                     row->ID, service.toStdString(),
                     std::chrono::duration_cast<std::chrono::minutes>(wait).count());
    } else {
        heldBack_.erase(row->ID);
    }
    row->lastError = message;
    row->dateLastTried = QDateTime::currentDateTime();
    row->dateSent = QDateTime();
    row->done = 0;
    auto stored = std::make_shared<SharingModel>(*row);
    writeThen([stored] { return stored->update(); },
              [this, stored](bool ok, const QString& why) {
                  if (!ok) {
                      spdlog::error("SocialSharing: could not store the failure of share {}", stored->ID);
                      databaseCannotRecord(why);
                  }
                  endAttempt();
              });
}

bool SocialSharingService::isHeldBack(const SharingModel& row) {
    const auto now = SharingRuntime::scheduler().clock().now();
    auto it = heldBack_.find(row.ID);
    if (it != heldBack_.end() && !isUnansweredMessage(row.lastError)) {
        // Changed since (or another database's row of that number).
        heldBack_.erase(it);
        return false;
    }
    if (it == heldBack_.end()) {
        if (!isUnansweredMessage(row.lastError)) return false;
        const base::Duration wait = kFirstUnansweredWait;
        it = heldBack_.emplace(row.ID, HeldBack{now + wait, wait}).first;
        spdlog::warn("SocialSharing: share {} got no answer when last tried; it is tried again in {} minutes", row.ID,
                     std::chrono::duration_cast<std::chrono::minutes>(wait).count());
    }
    return now < it->second.notBefore;
}

void SocialSharingService::attemptSkipped(std::uint64_t attemptID) {
    if (!isCurrent(attemptID)) return;
    answered();
    // A skipped row stays as it was: the attempt stored ahead of the send is taken back.
    auto stored = std::make_shared<SharingModel>(*modelInExecution_);
    stored->dateLastTried = triedBefore_;
    modelInExecution_->dateLastTried = triedBefore_;
    writeThen([stored] { return stored->update(); }, [this](bool, const QString&) { endAttempt(); });
}
