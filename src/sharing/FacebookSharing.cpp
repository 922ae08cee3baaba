#include "sharing/FacebookSharing.h"

#include <QApplication>
#include <QWidget>

#include <cmath>
#include <mutex>

#include <spdlog/spdlog.h>

#include "base/Files.h"
#include "base/Http.h"
#include "core/PhotoSession.h"
#include "core/SharingType.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "sharing/FacebookLoginWebController.h"
#include "sharing/SharingRuntime.h"
#include "sharing/SocialSharingService.h"
#include "base/Multipart.h"

namespace {

QString setting(const char* key) { return QString::fromStdString(UserDefaults::standard().string(key)); }

const QString kUnableToShare = QStringLiteral("Unable to share on Facebook, please try again.");

struct Throttle {
    std::mutex mutex;
    int count = 0;
    base::TimePoint date{};
    std::shared_ptr<base::TimeSource> clock;
    base::TimePoint now() { return clock ? clock->now() : base::Clock::now(); }
};

Throttle& throttle() {
    static Throttle* t = new Throttle;
    return *t;
}

std::string multipartField(const std::string& name, const std::string& value) {
    return base::multipartPartHeader(FacebookSharing::kBoundary, name) + value + "\r\n";
}

std::string multipartEnd() { return base::multipartClosing(FacebookSharing::kBoundary); }

base::HttpRequest graphPostRequest(const QString& url, std::string body, base::LinePriority priority) {
    base::HttpRequest request;
    request.method = "POST";
    request.url = url.toStdString();
    SharingRuntime::applyRequestLimits(request, std::chrono::seconds(FacebookSharing::kTimeoutSeconds), priority);
    request.headers = {{"Content-Type", base::multipartContentType(FacebookSharing::kBoundary)}};
    request.body = std::move(body);
    return request;
}

base::HttpResponse graphPost(const QString& url, std::string body) {
    // Only page posts make albums: the booth's own work.
    return base::httpPerform(graphPostRequest(url, std::move(body), base::LinePriority::Background));
}

base::HttpResponse graphGet(const std::string& url) {
    base::HttpRequest request;
    request.url = url;
    request.timeoutSeconds = FacebookSharing::kTimeoutSeconds;
    return base::httpPerform(request);
}

QString jsonText(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) return {};
    auto it = object.find(key);
    if (it == object.end()) return {};
    if (it->is_string()) return QString::fromStdString(it->get<std::string>());
    if (it->is_number_integer()) return QString::number(it->get<long long>());
    return {};
}

}  // namespace

std::shared_ptr<FacebookSharing> FacebookSharing::create(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate) {
    return std::shared_ptr<FacebookSharing>(new FacebookSharing(std::move(delegate)));
}

std::shared_ptr<FacebookSharing> FacebookSharing::initWithFBToken(
    const QString& token, std::shared_ptr<FlashwrenSharingBaseDelegate> delegate) {
    auto sharing = create(std::move(delegate));
    sharing->fbToken_ = token;
    return sharing;
}

QString FacebookSharing::versionRoot() {
    QString base = FacebookLogin::graphBaseURL();
    if (!base.endsWith('/')) base += '/';
    return base + "v2.2";
}

QString FacebookSharing::applicationID() { return ServiceConfig::value(QStringLiteral("FacebookAppID")); }

// Throttle --------------------------------------------------------------------

bool FacebookSharing::checkIfFBCallCanBeMade() {
    auto& t = throttle();
    std::lock_guard lock(t.mutex);
    if (t.count < kThrottleErrors) return true;
    const auto now = t.now();
    const double elapsed = std::chrono::duration<double>(now - t.date).count();
    if (static_cast<long long>(elapsed) / 60 > 14) {
        t.count = 0;
        t.date = now;
        return true;
    }
    if (std::fmod(elapsed, 60.0) > 40.0)
        spdlog::warn("FacebookSharing: there were too many errors while making Facebook calls so suspended fb "
                     "sharing for time being. Remaing time is {} seconds ",
                     900.0 - elapsed);
    return false;
}

void FacebookSharing::updateFBErrorCountAndDate() {
    auto& t = throttle();
    std::lock_guard lock(t.mutex);
    ++t.count;
    t.date = t.now();
}

void FacebookSharing::setThrottleClock(std::shared_ptr<base::TimeSource> clock) {
    auto& t = throttle();
    std::lock_guard lock(t.mutex);
    t.clock = std::move(clock);
}

void FacebookSharing::resetThrottle() {
    auto& t = throttle();
    std::lock_guard lock(t.mutex);
    t.count = 0;
    t.date = t.now();
}

int FacebookSharing::throttleErrorCount() {
    auto& t = throttle();
    std::lock_guard lock(t.mutex);
    return t.count;
}

std::optional<QString> FacebookSharing::getFBErrorMessageIfPresentFromResponse(const nlohmann::json& reply) {
    if (!reply.is_object() || reply.empty()) {
        spdlog::error("FacebookSharing: Received invalid response from facebook. {}",
                      reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return QStringLiteral("Invalid facebook response received.");
    }
    auto errorIt = reply.find("error");
    if (errorIt == reply.end()) return std::nullopt;
    const nlohmann::json& error = *errorIt;
    const QString type = jsonText(error, "type");
    const QString codeText = jsonText(error, "code");
    const QString message = jsonText(error, "message");
    spdlog::error("FacebookSharing: received error type is [{}] and code is [{}] and error = {}", type.toStdString(),
                  codeText.toStdString(), message.toStdString());
    bool numeric = false;
    const int code = codeText.toInt(&numeric);
    std::optional<QString> result;
    if (numeric && (code == 10 || (code >= 200 && code <= 299)))
        result = QStringLiteral("Facebook Error: Permission is either not granted or has been removed.\n Please "
                                "relogin to facebook.");
    else if ((numeric && (code == 190 || code == 102)) || type == QLatin1String("OAuthException"))
        result = QStringLiteral("Facebook Access Expired: Please relogin to enable the access.");
    else if (!message.isEmpty())
        result = message;
    if (result) spdlog::error("FacebookSharing: facebook error is [{}]", message.toStdString());
    return result;
}

std::optional<QString> FacebookSharing::checkFBResponseForErorrMessage(const std::string& bytes) {
    auto reply = nlohmann::json::parse(bytes, nullptr, false);
    if (reply.is_discarded()) {
        spdlog::error("FacebookSharing: Unable to parse facebook response ... {}", bytes.substr(0, 200));
        updateFBErrorCountAndDate();
        return QStringLiteral("Invalid facebook response received, may be Internet connection not available.");
    }
    auto message = getFBErrorMessageIfPresentFromResponse(reply);
    if (message) {
        spdlog::error("FacebookSharing: facebook error is [{}]", message->toStdString());
        updateFBErrorCountAndDate();
        return message;
    }
    auto& t = throttle();
    std::lock_guard lock(t.mutex);
    t.count = 0;
    t.date = t.now();
    return std::nullopt;
}

// Wall post -------------------------------------------------------------------

void FacebookSharing::postOnFBWallWithText(const QString& text, const QUrl& image) {
    expectOutcome();
    postText_ = text;
    postImagePath_ = image.isLocalFile() ? image.toLocalFile() : image.toString();
    if (!WrenUtils::isInternetRechable()) {
        // Offline the log-in page could only show the web engine's error
        // page: the guest is told at once instead.
        spdlog::info("FacebookSharing: not logging in as the internet is not reachable");
        reportFailed(kService, QStringLiteral("No internet connection."));
        return;
    }
    auto self = std::static_pointer_cast<FacebookSharing>(shared_from_this());
    // The log-in holds this service strongly until the attempt ends (endLogIn).
    auto login = FacebookLogin::initWithApplicationID(applicationID(), std::shared_ptr<FacebookLoginDelegate>(self, this));
    fb_.store(login);
    login->invalidateCachedToken();
    login->getAccessTokenForPermissions({QStringLiteral("publish_actions"), QStringLiteral("user_photos")}, false);
    // A log-in that ended at once has let go of its window already.
    if (fb_.load() == login) loginController_ = login->webViewController();
}

void FacebookSharing::cancelLogIn() {
    if (loginController_ && loginController_->isLoggingIn()) loginController_->cancel();
}

void FacebookSharing::tokenResult(const FacebookTokenResult& result) {
    auto login = fb_.load();
    if (!result.valid || !login || !login->accessToken()) {
        failWall(kUnableToShare);
        return;
    }
    tellWillStart(kService);
    fbToken_ = *login->accessToken();
    login->sendRequest(QStringLiteral("/me"));
}

void FacebookSharing::requestResult(const FacebookRequestResult& result) {
    if (result.request != QLatin1String("/me")) return;
    auto me = nlohmann::json::parse(result.raw.toStdString(), nullptr, false);
    if (!result.succeeded() || !me.is_object() || me.contains("error")) {
        UserDefaults::standard().set("LAST_USED_FACEBOOK_LOGIN_NAME", "Can't Load");
        spdlog::error("FacebookSharing: can't load account information.....");
        failWall(kUnableToShare);
        return;
    }
    setUserNameToWhomFileIsShared(jsonText(me, "first_name") + " " + jsonText(me, "last_name"));
    auto self = std::static_pointer_cast<FacebookSharing>(shared_from_this());
    SharingRuntime::backgroundExecutor().post([self] { self->postToWall(); });
}

void FacebookSharing::willShowUINotification(FacebookLogin* login) {
    if (login && login->webViewController()) QApplication::alert(login->webViewController()->window());
}

void FacebookSharing::didDismissUI(FacebookLogin*) { failWall(QString()); }

void FacebookSharing::failWall(const QString& message) {
    reportFailed(kService, message);
    endLogIn();
}

void FacebookSharing::endLogIn() {
    auto login = fb_.exchange(nullptr);
    if (!login) return;
    // The guest's token has done its job: it is not left in the settings.
    SharingRuntime::mainExecutor().post([login] {
        login->performCleanup();
        login->invalidateCachedToken();
        login->setDelegate(nullptr);
    });
}

void FacebookSharing::postToWall() {
    QString base = FacebookLogin::graphBaseURL();
    if (!base.endsWith('/')) base += '/';
    postOnFBAt(QStringLiteral("%1?access_token=%2").arg(base + "v2.2/me/photos", fbToken_));
}

// Upload ----------------------------------------------------------------------

void FacebookSharing::postOnFBAt(const QString& url) {
    std::string body = multipartField("message", postText_.toStdString());
    if (!postImagePath_.isEmpty()) {
        auto photo = base::readFile(postImagePath_.toStdString());
        if (!photo) {
            spdlog::error("FaceBookSharing.postToWall - error: cannot read {}", postImagePath_.toStdString());
            reportFailed(kService, QStringLiteral("The photo could not be read."));
            endLogIn();
            return;
        }
        body += base::multipartPartHeader(kBoundary, "source", std::string("source.jpg"), {"Content-Type: image/jpeg"}) +
                *photo + "\r\n";
    }
    body += multipartEnd();
    // A guest waits on a wall post; a page post is the booth's own.
    const auto request = graphPostRequest(
        url, std::move(body), pageID_.isEmpty() ? base::LinePriority::Guest : base::LinePriority::Background);
    auto response = base::httpPerform(request);
    if (auto slow = slowRequest(QStringLiteral("Facebook"), request, response)) {
        spdlog::error("FaceBookSharing.postToWall - error: {}", slow->message.toStdString());
        if (slow->unanswered) reportUnanswered(kService, slow->message);
        else reportFailed(kService, slow->message);
    } else if (!response.completed()) {
        spdlog::error("FaceBookSharing.postToWall - error: {}", response.error);
        reportFailed(kService, QString::fromStdString(response.error));
    } else if (auto message = checkFBResponseForErorrMessage(response.body)) {
        reportFailed(kService, *message);
    } else {
        reportFinished(kService, QStringLiteral("Image Shared"));
    }
    endLogIn();
}

// Page post -------------------------------------------------------------------

void FacebookSharing::postOnFBPage(const QString& pageID, const QString& albumName, const QString& message,
                                   const QUrl& image) {
    expectOutcome();
    pageID_ = pageID;
    albumName_ = albumName;
    const QString imagePath = image.isLocalFile() ? image.toLocalFile() : image.toString();
    if (pageID.isEmpty() || albumName.isEmpty() || imagePath.isEmpty()) {
        spdlog::error("FacebookSharing: Can't upload image to FB Page as necessary information is not available. "
                      "pageid={},albumName={} and imageURL={}",
                      pageID.toStdString(), albumName.toStdString(), imagePath.toStdString());
        reportFailed(kService,
                     QStringLiteral("Can't upload image to FB Page album as nacessary information is not available"));
        return;
    }
    postText_ = message;
    postImagePath_ = imagePath;
    tellWillStart(kService);
    const auto moving = reportMoving(kService);

    QString failure;
    const bool found = checkIfAlbumIsAvailableOnPage(pageID, albumName, &failure);
    if (!failure.isEmpty()) {
        reportFailed(kService, failure);
        return;
    }
    pageAccessToken_ = setting("SELECTED_BUSINESS_FB_PAGE_ACCESS_TOKEN");
    if (pageAccessToken_.isEmpty()) {
        spdlog::error("FacebookSharing: No page Access Token");
        reportFailed(kService, QStringLiteral("Please relogin to facebook."));
        return;
    }
    if (!found && !createNewAlbumForUser(albumName, pageID)) {
        spdlog::error("FacebookSharing: can't create album on user fb page so not uploading image. ({})",
                      albumName.toStdString());
        reportFailed(kService, QStringLiteral("Unable to create album on user's fb page."));
        return;
    }
    spdlog::info("FacebookSharing: Uploading to facebook page at album :{} and album id = {}", albumName.toStdString(),
                 albumIDToUpload_.toStdString());
    postOnFBAt(versionRoot() + QStringLiteral("/%1/%2?access_token=%3").arg(albumIDToUpload_, "photos", pageAccessToken_));
}

bool FacebookSharing::checkIfAlbumIsAvailableOnPage(const QString& pageID, const QString& albumName,
                                                    QString* failure) {
    albumIDToUpload_.clear();
    std::string url =
        (versionRoot() + QStringLiteral("/%1/%2?access_token=%3").arg(pageID, "albums", fbToken_)).toStdString();
    for (int page = 0; page < kMaxAlbumPages && !url.empty(); ++page) {
        auto response = graphGet(url);
        if (!response.completed()) {
            spdlog::error("FacebookSharing: Can't retrive album names... err {}", response.error);
            updateFBErrorCountAndDate();
            if (failure) *failure = QStringLiteral("Unable to read the albums of the Facebook page.");
            return false;
        }
        if (auto message = checkFBResponseForErorrMessage(response.body)) {
            if (failure) *failure = *message;
            return false;
        }
        auto reply = nlohmann::json::parse(response.body, nullptr, false);
        auto data = reply.find("data");
        if (data != reply.end() && data->is_array()) {
            for (const auto& album : *data) {
                if (jsonText(album, "name") == albumName) {
                    albumIDToUpload_ = jsonText(album, "id");
                    if (!albumIDToUpload_.isEmpty()) return true;
                }
            }
        }
        url.clear();
        auto paging = reply.find("paging");
        if (paging != reply.end() && paging->is_object()) url = jsonText(*paging, "next").toStdString();
    }
    spdlog::info("FacebookSharing: Can't find album [{}] so will create it...", albumName.toStdString());
    return false;
}

bool FacebookSharing::createNewAlbumForUser(const QString& albumName, const QString& pageID) {
    spdlog::info("FacebookSharing - Creating new album for user on page as  {}", albumName.toStdString());
    auto response =
        graphPost(versionRoot() + QStringLiteral("/%1/%2?access_token=%3").arg(pageID, "albums", pageAccessToken_),
                  multipartField("name", albumName.toStdString()) + multipartEnd());
    if (!response.completed()) {
        spdlog::error("FacebookSharing: Can't create album... err {}", response.error);
        return false;
    }
    if (auto message = checkFBResponseForErorrMessage(response.body)) {
        spdlog::error("FacebookSharing - can't create album and errors are {}", message->toStdString());
        return false;
    }
    auto reply = nlohmann::json::parse(response.body, nullptr, false);
    albumIDToUpload_ = jsonText(reply, "id");
    if (albumIDToUpload_.isEmpty()) {
        spdlog::error("FacebookSharing - can't create album and errors are {}", "no album id in the reply");
        return false;
    }
    spdlog::info("FacebookSharing: successfully created new album for this user on page....{}",
                 albumIDToUpload_.toStdString());
    return true;
}

// Business page shares --------------------------------------------------------

void FBBusinessSharingManager::shareImageOnBusinessFBWallFromPath(const QString& path) {
    auto& defaults = UserDefaults::standard();
    const bool hasToken = !defaults.string("BUSINESS_FB_TOKEN").empty();
    if (hasToken && defaults.boolean("BUSINESS_FACEBOOK_SHARING_ENABLED")) {
        // Off the interface thread: another program may hold the database.
        SocialServiceHelper::recordPendingShare(SocialServiceHelper::shareOfType(
            SharingTypeFacebookPage, 0, PhotoSession::session().printMediaID, path, QString()));
    } else if (hasToken) {
        spdlog::info("FBBusinessSharingManager: not uploading to facebook business wall as it's not enabled but "
                     "configured..");
    } else {
        spdlog::info("FBBusinessSharingManager: not uploading to facebook business wall as it is not configured..");
    }
}

void FBBusinessSharingManager::registerWithShareQueue() {
    SocialSharingService::registerSender(SharingTypeFacebookPage, [](std::shared_ptr<ShareAttempt> attempt) {
        SharingRuntime::backgroundExecutor().post([attempt] { startFBPageSharing(attempt); });
    });
}

void FBBusinessSharingManager::startFBPageSharing(std::shared_ptr<ShareAttempt> attempt) {
    const auto row = attempt->row();
    spdlog::info("SharingService: starting sharing for Facebook Page for image [{}] ", row->filePath.toStdString());
    const QString token = setting("BUSINESS_FB_TOKEN");
    if (token.isEmpty()) {
        spdlog::warn("SharingService: FB page sharing is enabled but token is missing so ignoring it..");
        attempt->sharingDidFailedFor(FacebookSharing::kService,
                                     QStringLiteral("FB Page sharing is enabled but Facebook Account is not configured."));
        return;
    }
    auto sharing = FacebookSharing::initWithFBToken(token, attempt);
    if (!FacebookSharing::checkIfFBCallCanBeMade()) {
        attempt->skip();
        return;
    }
    sharing->postOnFBPage(setting("SELECTED_BUSINESS_FB_PAGE_ID"), setting("BUSINESS_FACEBOOK_ALBUM"),
                          setting("BUSINESS_FACEBOOK_DESCRIPTION"), QUrl::fromLocalFile(row->filePath));
}
