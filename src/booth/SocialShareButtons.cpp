#include "booth/SocialShareButtons.h"

#include <QPointer>
#include <QPushButton>
#include <QUrl>

#include "booth/SharingScreenTabItem.h"
#include "core/PhotoSession.h"
#include "core/UserDefaults.h"
#include "preferences/CustomControls.h"
#include "sharing/FacebookSharing.h"
#include "sharing/TwitterSharing.h"

namespace {

// The result delegate of one log-in and post: the screen, while the session
// the guest started it in shows. Once that session has ended, a post that
// still went out is recorded with that session's print, and the screen,
// showing someone else by then, hears nothing.
class SessionShareOutcome : public FlashwrenSharingBaseDelegate {
public:
    explicit SessionShareOutcome(SharingScreenTabItem* screen)
        : screen_(screen),
          showing_(screen->showingID()),
          printPath_(screen->printPath()),
          mediaID_(PhotoSession::session().printMediaID) {}
    void setService(std::weak_ptr<FlashwrenSharingBase> service) { service_ = std::move(service); }

    void sharingWillStartFor(const QString& service) override {
        if (current()) screen_->sharingWillStartFor(service);
    }
    void sharingDidFinishedFor(const QString& service, const QString& message) override {
        if (current()) {
            screen_->sharingDidFinishedFor(service, message);
            return;
        }
        auto sharing = service_.lock();
        SharingScreenTabItem::recordSocialShare(service, mediaID_, printPath_,
                                                sharing ? sharing->userNameToWhomFileIsShared() : QString());
    }
    void sharingDidFailedFor(const QString& service, const QString& message) override {
        if (current()) screen_->sharingDidFailedFor(service, message);
    }

private:
    bool current() const { return screen_ && screen_->showingID() == showing_; }
    QPointer<SharingScreenTabItem> screen_;
    const quint64 showing_;
    const QString printPath_;
    const std::int64_t mediaID_;
    std::weak_ptr<FlashwrenSharingBase> service_;
};

}  // namespace

SocialShareButtons* SocialShareButtons::install(SharingScreenTabItem* screen) {
    auto* buttons = new SocialShareButtons(screen);
    auto* facebook = new RoundButton(QStringLiteral("Facebook"));
    screen->addShareButton(QStringLiteral("Facebook"), facebook);
    connect(facebook, &QPushButton::clicked, buttons, &SocialShareButtons::shareOnFacebook);
    auto* twitter = new RoundButton(QStringLiteral("Twitter"));
    screen->addShareButton(QStringLiteral("Twitter"), twitter);
    connect(twitter, &QPushButton::clicked, buttons, &SocialShareButtons::shareOnTwitter);
    connect(screen, &SharingScreenTabItem::sessionEnded, buttons, &SocialShareButtons::endLogIns);
    // A session shown is a new guest's, whatever became of the last one.
    connect(screen, &SharingScreenTabItem::sessionShown, buttons, &SocialShareButtons::endLogIns);
    screen->setSharedUserNameProvider([buttons](const QString& service) {
        if (service == QLatin1String("Facebook") && buttons->facebook_)
            return buttons->facebook_->userNameToWhomFileIsShared();
        if (service == QLatin1String("Twitter") && buttons->twitter_)
            return buttons->twitter_->userNameToWhomFileIsShared();
        return QString();
    });
    return buttons;
}

SocialShareButtons::SocialShareButtons(SharingScreenTabItem* screen) : QObject(screen), screen_(screen) {}

void SocialShareButtons::shareOnFacebook() {
    // The countdown waits while the guest logs in; the result resumes it.
    screen_->stopCountdown();
    screen_->setShareButtonEnabled(QStringLiteral("Facebook"), false);
    auto outcome = std::make_shared<SessionShareOutcome>(screen_);
    facebook_ = FacebookSharing::create(outcome);
    outcome->setService(facebook_);
    facebook_->postOnFBWallWithText(QString::fromStdString(UserDefaults::standard().string("FACEBOOK_SHARING_TEXT")),
                                    QUrl::fromLocalFile(screen_->printPath()));
}

void SocialShareButtons::shareOnTwitter() {
    screen_->stopCountdown();
    screen_->setShareButtonEnabled(QStringLiteral("Twitter"), false);
    auto outcome = std::make_shared<SessionShareOutcome>(screen_);
    twitter_ = TwitterSharing::create(outcome);
    outcome->setService(twitter_);
    twitter_->postTweetWithText(QString::fromStdString(UserDefaults::standard().string("TWITTER_SHARING_TEXT")),
                                QUrl::fromLocalFile(screen_->printPath()));
}

void SocialShareButtons::endLogIns() {
    // An attempt that has ended already, or whose post is on its way, keeps
    // itself alive for its outcome.
    if (auto facebook = std::move(facebook_)) facebook->cancelLogIn();
    if (auto twitter = std::move(twitter_)) twitter->cancelLogIn();
}
