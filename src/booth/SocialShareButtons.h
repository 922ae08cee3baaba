#pragma once
// The final screen's Facebook and Twitter buttons: each starts a wall post or
// a tweet from the guest's own account. A log-in belongs to the session it was
// started in: it ends with that session's final screen, and its outcome
// reaches the screen only while that session shows.
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
    // The session's final screen has ended: its log-ins end too.
    void endLogIns();

private:
    explicit SocialShareButtons(SharingScreenTabItem* screen);
    SharingScreenTabItem* screen_;
    std::shared_ptr<FacebookSharing> facebook_;  // the latest attempt, for the account name
    std::shared_ptr<TwitterSharing> twitter_;
};
