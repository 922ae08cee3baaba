#pragma once
// Tweets the photo from the guest's own Twitter account: temporary
// credentials, Twitter's authorise page in the PIN log-in window, the access
// token for the PIN, then the status with the photo. Nothing is kept: every
// tweet needs a fresh log-in. Every outcome reaches the delegate on the
// interface thread.
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

#include "sharing/FlashwrenSharingBase.h"
#include "sharing/TwitterAPI.h"
#include "sharing/TwitterLoginWindowController.h"

class TwitterSharing : public FlashwrenSharingBase, public TwitterLoginWindowControllerDelegate {
public:
    static constexpr const char* kService = "Twitter";
    static std::shared_ptr<TwitterSharing> create(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate = nullptr);
    ~TwitterSharing() override;

    // Interface thread; returns at once. The attempt keeps itself alive until
    // its outcome.
    void postTweetWithText(const QString& text, const QUrl& image);
    void startTwitterSharing();
    // Interface thread. A log-in still waiting for its page or the guest ends
    // as Close would (a failure with no message); once a PIN is on its way,
    // the tweet goes ahead and its outcome follows.
    void cancelLogIn() { userDidCancelTwitterSharing(); }

    // Only the first PIN of an attempt counts.
    bool didReceiveTwitterPIN(const QString& pin) override;
    void userDidCancelTwitterSharing() override;

    TwitterLoginWindowController* twitterLoginWindowController() const { return controller_; }
    QString pinURL() const { return pinURL_; }

private:
    using FlashwrenSharingBase::FlashwrenSharingBase;
    void getTwitrerPIN();
    void showLogIn(const TwitterAPI::RequestToken& token);
    void fail(const QString& message);
    void finish();

    QString tweetText_;
    QString imagePath_;
    std::shared_ptr<TwitterAPI> twitter_;
    std::optional<TwitterAPI::RequestToken> requestToken_;
    QString pinURL_;
    QPointer<TwitterLoginWindowController> controller_;
    std::shared_ptr<TwitterSharing> self_;
    bool pinReceived_ = false;
    bool ended_ = false;
};
