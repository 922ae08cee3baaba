#include "booth/SocialShareButtons.h"

#include <QPushButton>
#include <QUrl>

#include "booth/SharingScreenTabItem.h"
#include "core/UserDefaults.h"
#include "preferences/CustomControls.h"
#include "sharing/FacebookSharing.h"
#include "sharing/TwitterSharing.h"

SocialShareButtons* SocialShareButtons::install(SharingScreenTabItem* screen) {
    auto* buttons = new SocialShareButtons(screen);
    auto* facebook = new RoundButton(QStringLiteral("Facebook"));
    screen->addShareButton(QStringLiteral("Facebook"), facebook);
    connect(facebook, &QPushButton::clicked, buttons, &SocialShareButtons::shareOnFacebook);
    auto* twitter = new RoundButton(QStringLiteral("Twitter"));
    screen->addShareButton(QStringLiteral("Twitter"), twitter);
    connect(twitter, &QPushButton::clicked, buttons, &SocialShareButtons::shareOnTwitter);
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
    facebook_ = FacebookSharing::create(FlashwrenSharingBase::unowned(screen_));
    facebook_->postOnFBWallWithText(QString::fromStdString(UserDefaults::standard().string("FACEBOOK_SHARING_TEXT")),
                                    QUrl::fromLocalFile(screen_->printPath()));
}

void SocialShareButtons::shareOnTwitter() {
    screen_->stopCountdown();
    screen_->setShareButtonEnabled(QStringLiteral("Twitter"), false);
    twitter_ = TwitterSharing::create(FlashwrenSharingBase::unowned(screen_));
    twitter_->postTweetWithText(QString::fromStdString(UserDefaults::standard().string("TWITTER_SHARING_TEXT")),
                                QUrl::fromLocalFile(screen_->printPath()));
}
