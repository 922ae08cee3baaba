#pragma once
// The final screen's Facebook and Twitter buttons: each starts a wall post or
// a tweet from the guest's own account, with the screen as the result delegate.
#include <QObject>

#include <memory>

class FacebookSharing;
class SharingScreenTabItem;
class TwitterSharing;

class SocialShareButtons : public QObject {
    Q_OBJECT
public:
    // Adds the two buttons to the screen's button row; owned by the screen.
    static SocialShareButtons* install(SharingScreenTabItem* screen);

    void shareOnFacebook();
    void shareOnTwitter();

private:
    explicit SocialShareButtons(SharingScreenTabItem* screen);
    SharingScreenTabItem* screen_;
    std::shared_ptr<FacebookSharing> facebook_;  // the latest attempt, for the account name
    std::shared_ptr<TwitterSharing> twitter_;
};
