#include "sharing/FacebookLogin.h"
#include <nlohmann/json.hpp>

#include <QRegularExpression>

#include <spdlog/spdlog.h>

#include "base/Http.h"
#include "core/UserDefaults.h"
#include "sharing/FacebookLoginWebController.h"
#include "sharing/SharingRuntime.h"

namespace {

QString withoutTrailingSlash(QString url) {
    while (url.endsWith('/')) url.chop(1);
    return url;
}

// The stored permission text matches the requested one as a pattern,
// without regard to case.
bool permissionsMatch(const QString& stored, const QString& requested) {
    QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(requested),
                               QRegularExpression::CaseInsensitiveOption);
    return pattern.match(stored).hasMatch();
}

}  // namespace

FacebookAccessToken::FacebookAccessToken(QString token, qint64 secondsToExpiry, QString permissionText)
    : authenticationToken(std::move(token)), permissions(std::move(permissionText)) {
    if (secondsToExpiry != 0) expiry = QDateTime::currentDateTimeUtc().addSecs(secondsToExpiry);
}

std::shared_ptr<FacebookLogin> FacebookLogin::initWithApplicationID(const QString& appID,
                                                                   std::shared_ptr<FacebookLoginDelegate> delegate) {
    return std::shared_ptr<FacebookLogin>(new FacebookLogin(appID, std::move(delegate)));
}

FacebookLogin::FacebookLogin(QString appID, std::shared_ptr<FacebookLoginDelegate> delegate)
    : appID_(std::move(appID)), delegate_(std::move(delegate)) {}

FacebookLogin::~FacebookLogin() {
    // The last owner may let go on a background thread: the window goes
    // with the interface thread's next turn.
    if (webViewController_) webViewController_->deleteLater();
}

std::shared_ptr<FacebookLoginDelegate> FacebookLogin::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void FacebookLogin::setDelegate(std::shared_ptr<FacebookLoginDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

QString FacebookLogin::graphBaseURL() {
    QString url = ServiceConfig::value(QStringLiteral("FacebookGraphURL"));
    return url.isEmpty() ? QStringLiteral("https://graph.facebook.com/") : url;
}

QString FacebookLogin::webBaseURL() {
    QString url = ServiceConfig::value(QStringLiteral("FacebookWebURL"));
    return url.isEmpty() ? QStringLiteral("https://www.facebook.com/") : url;
}

QString FacebookLogin::loginURL(const QString& appID, const std::optional<QString>& permissions) {
    QString url = withoutTrailingSlash(graphBaseURL()) + "/oauth/authorize?client_id=" + appID +
                  "&redirect_uri=" + withoutTrailingSlash(webBaseURL()) + "/connect/login_success.html";
    if (permissions) url += "&scope=" + *permissions;
    return url + "&type=user_agent&display=popup";
}

void FacebookLogin::getAccessTokenForPermissions(const QStringList& permissions, bool cached) {
    const QString permissionText = permissions.join(',');
    std::shared_ptr<FacebookAccessToken> current;
    {
        std::lock_guard lock(mutex_);
        if (cached && !authToken_) {
            auto& defaults = UserDefaults::standard();
            QString token = QString::fromStdString(defaults.string(kTokenKey));
            QString stored = QString::fromStdString(defaults.string(kPermissionsKey));
            if (!token.isEmpty() && !stored.isEmpty()) {
                authToken_ = std::make_shared<FacebookAccessToken>(token, 0, stored);
                if (defaults.has(kExpiryKey))
                    authToken_->expiry = QDateTime::fromMSecsSinceEpoch(
                        qint64(defaults.real(kExpiryKey) * 1000.0), Qt::UTC);
            }
        }
        if (authToken_ && permissionsMatch(authToken_->permissions, permissionText) &&
            (!authToken_->expiry || *authToken_->expiry >= QDateTime::currentDateTimeUtc()))
            current = authToken_;
        else
            authToken_.reset();
    }
    if (current) {
        notifyDelegateForToken(current, {});
        return;
    }
    const QString url = loginURL(appID_, permissionText);
    if (auto d = delegate(); d && d->needsAuthentication(url, permissionText)) return;
    if (!webViewController_) webViewController_ = new FacebookLoginWebController();
    webViewController_->setParent(weak_from_this());
    webViewController_->setPermissions(permissionText);
    webViewController_->loadFacebookLoginPage(url);
}

std::optional<QString> FacebookLogin::accessToken() const {
    std::lock_guard lock(mutex_);
    if (!authToken_) return std::nullopt;
    return authToken_->authenticationToken;
}

void FacebookLogin::invalidateCachedToken() {
    {
        std::lock_guard lock(mutex_);
        authToken_.reset();
    }
    auto& defaults = UserDefaults::standard();
    defaults.remove(kTokenKey);
    defaults.remove(kExpiryKey);
    defaults.remove(kPermissionsKey);
    // Each log-in runs in a web profile of its own that keeps no cookies, so
    // there are no Facebook cookies left to delete.
}

void FacebookLogin::setAccessToken(const QString& token, qint64 expiresInSeconds, const QString& permissions) {
    std::lock_guard lock(mutex_);
    if (token.isEmpty()) authToken_.reset();
    else authToken_ = std::make_shared<FacebookAccessToken>(token, expiresInSeconds, permissions);
}

void FacebookLogin::setAccessToken(const QString& token, qint64 expiresInSeconds, const QString& permissions,
                                   const QString& error) {
    setAccessToken(token, expiresInSeconds, permissions);
    std::shared_ptr<FacebookAccessToken> current;
    {
        std::lock_guard lock(mutex_);
        current = authToken_;
    }
    notifyDelegateForToken(current, error);
}

void FacebookLogin::notifyDelegateForToken(std::shared_ptr<FacebookAccessToken> token, const QString& error) {
    if (!error.isEmpty()) spdlog::warn("FacebookLogin: errorReason {}", error.toStdString());
    FacebookTokenResult result;
    if (token) {
        auto& defaults = UserDefaults::standard();
        defaults.set(kTokenKey, token->authenticationToken.toStdString());
        if (token->expiry) defaults.set(kExpiryKey, double(token->expiry->toMSecsSinceEpoch()) / 1000.0);
        else defaults.remove(kExpiryKey);
        defaults.set(kPermissionsKey, token->permissions.toStdString());
        result.valid = true;
    } else if (!error.isEmpty()) {
        result.error = error;
    }
    if (auto d = delegate()) d->tokenResult(result);
}

void FacebookLogin::clearToken() {
    std::lock_guard lock(mutex_);
    authToken_.reset();
}

void FacebookLogin::sendRequest(const QString& path) { sendRequest(path, {}, false); }

void FacebookLogin::sendRequest(const QString& path, const QList<QPair<QString, QString>>& params,
                                bool usePostRequest) {
    auto self = shared_from_this();
    SharingRuntime::backgroundExecutor().post(
        [self, path, params, usePostRequest] { self->sendFacebookRequest(path, params, usePostRequest); });
}

QString FacebookLogin::requestURL(const QString& path, const QString& token,
                                  const QList<QPair<QString, QString>>& params, bool post, QByteArray* body) {
    const QString base = withoutTrailingSlash(graphBaseURL()) + "/" + path;
    QString extra;
    for (const auto& [name, value] : params) extra += "&" + name + "=" + value;
    if (post) {
        if (body) *body = ("access_token=" + token + extra).toUtf8();
        return base;
    }
    if (body) body->clear();
    return base + (path.contains('?') ? "&access_token=" : "?access_token=") + token + extra;
}

void FacebookLogin::sendFacebookRequest(const QString& path, const QList<QPair<QString, QString>>& params,
                                        bool post) {
    FacebookRequestResult result;
    result.request = path;
    result.sender = this;
    auto token = accessToken();
    if (!token) {
        spdlog::error("FacebookLogin: no authentication token found....");
    } else {
        QByteArray body;
        base::HttpRequest request;
        request.method = post ? "POST" : "GET";
        request.url = requestURL(path, *token, params, post, &body).toStdString();
        request.timeoutSeconds = kRequestTimeoutSeconds;
        // A guest's post (or the operator at the Sharing pane) waits on it.
        request.priority = base::LinePriority::Guest;
        if (post) {
            request.body = body.toStdString();
            request.headers = {{"content-type", "application/x-www-form-urlencoded"}};
        }
        auto response = base::httpPerform(request);
        if (!response.completed())
            spdlog::error("FacebookLogin: request {} failed: {}", path.toStdString(), response.error);
        result.status = response.completed() ? response.status : 0;
        result.raw = QByteArray::fromStdString(response.body);
        result.result = QString::fromUtf8(result.raw);
    }
    auto self = shared_from_this();
    SharingRuntime::mainExecutor().post([self, result] {
        if (auto d = self->delegate()) d->requestResult(result);
    });
}

void FacebookLogin::webViewWillShowUI() {
    if (auto d = delegate()) d->willShowUINotification(this);
}

void FacebookLogin::didDismissUI() {
    if (auto d = delegate()) d->didDismissUI(this);
}

void FacebookLogin::performCleanup() {
    if (webViewController_) webViewController_->performCleanup();
}
