#pragma once
// Photo posts over the Facebook Graph API: a guest's wall post after their
// own log-in, and the posts of every session print into an album of the
// business page (through the share queue), with the album made when the page
// has none of that name. A process-wide throttle holds page posts back for 15
// minutes after repeated Facebook errors.
#include <QPointer>
#include <QString>
#include <QUrl>

#include <atomic>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "base/Scheduler.h"
#include "sharing/FacebookLogin.h"
#include "sharing/FlashwrenSharingBase.h"

class FacebookLoginWebController;
class ShareAttempt;

class FacebookSharing : public FlashwrenSharingBase, public FacebookLoginDelegate {
public:
    static constexpr const char* kService = "Facebook";
    static constexpr const char* kBoundary = "FLASHWREN_BOUNDARY_STRING";
    static constexpr long kTimeoutSeconds = 10;
    static constexpr int kThrottleErrors = 6;
    static constexpr int kMaxAlbumPages = 50;

    static std::shared_ptr<FacebookSharing> create(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate = nullptr);
    // For page posts: the business account's token.
    static std::shared_ptr<FacebookSharing> initWithFBToken(const QString& token,
                                                            std::shared_ptr<FlashwrenSharingBaseDelegate> delegate);

    // Interface thread; returns at once. The guest logs in, then the photo is
    // posted; the outcome reaches the delegate on the interface thread.
    // While the booth knows it is offline the share fails at once with
    // "No internet connection." and no log-in window opens.
    void postOnFBWallWithText(const QString& text, const QUrl& image);
    // Interface thread. A log-in still loading or waiting for the guest ends
    // as Cancel would (a failure with no message); once the guest has logged
    // in, the post goes ahead and its outcome follows.
    void cancelLogIn();
    // Blocks the calling (background) thread until the upload is done.
    void postOnFBPage(const QString& pageID, const QString& albumName, const QString& message, const QUrl& image);

    // The throttle's verdict: false while page posts are held back.
    static bool checkIfFBCallCanBeMade();
    static void updateFBErrorCountAndDate();
    static void setThrottleClock(std::shared_ptr<base::TimeSource> clock);  // null: the system clock
    static void resetThrottle();
    static int throttleErrorCount();

    // The guest-facing message of a Graph reply (null or an empty object is
    // an invalid reply), or none for a reply without error.
    static std::optional<QString> getFBErrorMessageIfPresentFromResponse(const nlohmann::json& reply);
    // Counts an unreadable reply or one with an error; a good reply resets the count.
    static std::optional<QString> checkFBResponseForErorrMessage(const std::string& bytes);

    // The Graph API's version root, "<base>v2.2".
    static QString versionRoot();
    static QString applicationID();

    // The album of that exact name on the page (following the pages of the
    // list); `failure` is set when the albums could not be read.
    bool checkIfAlbumIsAvailableOnPage(const QString& pageID, const QString& albumName, QString* failure);
    bool createNewAlbumForUser(const QString& albumName, const QString& pageID);
    QString albumIDToUpload() const { return albumIDToUpload_; }

    // FacebookLoginDelegate
    void tokenResult(const FacebookTokenResult& result) override;
    void requestResult(const FacebookRequestResult& result) override;
    void willShowUINotification(FacebookLogin* login) override;
    void didDismissUI(FacebookLogin* login) override;

private:
    using FlashwrenSharingBase::FlashwrenSharingBase;
    void postToWall();
    void postOnFBAt(const QString& url);
    void failWall(const QString& message);
    void endLogIn();

    QString fbToken_;
    QString postText_;
    QString postImagePath_;
    QString albumName_;
    QString pageID_;
    QString pageAccessToken_;
    QString albumIDToUpload_;
    // Set on the interface thread, given up by whichever thread ends the
    // attempt (the post ends it on a background thread), so never read or
    // written but atomically.
    std::atomic<std::shared_ptr<FacebookLogin>> fb_;
    QPointer<FacebookLoginWebController> loginController_;  // interface thread only
};

class FBBusinessSharingManager {
public:
    // Records a pending page share of the session print when business page
    // sharing is configured and on.
    static void shareImageOnBusinessFBWallFromPath(const QString& path);
    // Makes the share queue send page rows through FacebookSharing.
    static void registerWithShareQueue();
    // What the share queue runs for one page row (on a background thread).
    static void startFBPageSharing(std::shared_ptr<ShareAttempt> attempt);
};
