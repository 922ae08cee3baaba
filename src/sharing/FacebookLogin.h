#pragma once
// Facebook log-in through the OAuth dialog for desktop clients (the
// "user_agent" flow) in a window of our own, the token cache in the user
// defaults, and Graph requests on background threads. Tokens, and addresses
// that carry them, are never logged.
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>

class FacebookLogin;
class FacebookLoginWebController;

class FacebookAccessToken {
public:
    // 0 seconds: a token that does not expire.
    FacebookAccessToken(QString token, qint64 secondsToExpiry, QString permissions);
    QString authenticationToken;
    std::optional<QDateTime> expiry;
    QString permissions;  // permission names joined by ","
};

struct FacebookTokenResult {
    bool valid = false;
    std::optional<QString> error;  // Facebook's error description, when the redirect carried one
};

struct FacebookRequestResult {
    QString request;      // the path asked for
    QString result;       // the reply as UTF-8 text ("" when nothing came back)
    QByteArray raw;       // the reply bytes
    long status = 0;      // HTTP status, 0 when no reply arrived
    FacebookLogin* sender = nullptr;
    bool succeeded() const { return status != 0 && !raw.isEmpty(); }
};

class FacebookLoginDelegate {
public:
    virtual ~FacebookLoginDelegate() = default;
    virtual void tokenResult(const FacebookTokenResult& result) = 0;
    virtual void requestResult(const FacebookRequestResult& result) = 0;
    // Offered the log-in address before the window is used; true means the
    // delegate logs in by itself.
    virtual bool needsAuthentication(const QString& /*url*/, const QString& /*permissions*/) { return false; }
    virtual void willShowUINotification(FacebookLogin* /*login*/) {}
    virtual void didDismissUI(FacebookLogin* /*login*/) {}
};

class FacebookLogin : public std::enable_shared_from_this<FacebookLogin> {
public:
    static constexpr const char* kTokenKey = "FBAStoreccessToken";
    static constexpr const char* kExpiryKey = "FBStoreTokenExpiry";
    static constexpr const char* kPermissionsKey = "FBStoreAccessPermissions";
    static constexpr long kRequestTimeoutSeconds = 60;

    // Lives on the interface thread; the delegate is held strongly.
    static std::shared_ptr<FacebookLogin> initWithApplicationID(const QString& appID,
                                                                std::shared_ptr<FacebookLoginDelegate> delegate);
    ~FacebookLogin();

    // Answers through tokenResult (at once for a usable token, else after the
    // log-in window), or through didDismissUI when the guest closes the window.
    void getAccessTokenForPermissions(const QStringList& permissions, bool cached);
    std::optional<QString> accessToken() const;
    // Forgets the token and removes the cache keys.
    void invalidateCachedToken();
    void setAccessToken(const QString& token, qint64 expiresInSeconds, const QString& permissions);
    void setAccessToken(const QString& token, qint64 expiresInSeconds, const QString& permissions,
                        const QString& error);
    void notifyDelegateForToken(std::shared_ptr<FacebookAccessToken> token, const QString& error);
    void clearToken();

    // GET `path` of the Graph API with the token; the result reaches
    // requestResult on the interface thread, also when there is no token or
    // no reply (then with an empty result).
    void sendRequest(const QString& path);
    void sendRequest(const QString& path, const QList<QPair<QString, QString>>& params, bool usePostRequest);

    // From the window controller.
    void webViewWillShowUI();
    void didDismissUI();
    void performCleanup();

    std::shared_ptr<FacebookLoginDelegate> delegate() const;
    void setDelegate(std::shared_ptr<FacebookLoginDelegate> delegate);
    FacebookLoginWebController* webViewController() const { return webViewController_; }
    QString appID() const { return appID_; }

    // Addresses, from the service configuration (tests point them at 127.0.0.1).
    static QString graphBaseURL();  // e.g. "https://graph.facebook.com/"
    static QString webBaseURL();    // e.g. "https://www.facebook.com/"
    // The OAuth dialog's address; no "scope" without a permission text.
    static QString loginURL(const QString& appID, const std::optional<QString>& permissions);
    // The address and body of a Graph request as sent.
    static QString requestURL(const QString& path, const QString& token,
                              const QList<QPair<QString, QString>>& params, bool post, QByteArray* body);

private:
    FacebookLogin(QString appID, std::shared_ptr<FacebookLoginDelegate> delegate);
    void sendFacebookRequest(const QString& path, const QList<QPair<QString, QString>>& params, bool post);
    QString appID_;
    mutable std::mutex mutex_;
    std::shared_ptr<FacebookLoginDelegate> delegate_;
    std::shared_ptr<FacebookAccessToken> authToken_;
    FacebookLoginWebController* webViewController_ = nullptr;
};
