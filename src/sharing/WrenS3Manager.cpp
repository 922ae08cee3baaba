#include "sharing/WrenS3Manager.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <ctime>
#include <map>

#include "base/Http.h"
#include "base/Json.h"
#include "base/Log.h"
#include "core/MediaItemHelper.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "sharing/AwsSigV4.h"
#include "templates/ImageUtils.h"
#include "templates/LayoutEngine.h"
#include "base/Text.h"

namespace {

std::string config(const char* key) { return ServiceConfig::value(QString::fromLatin1(key)).toStdString(); }

// The MIME type of a Content-Type value, lower case, without parameters.
std::string mimeType(const std::string& contentType) {
    std::string type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    return base::toLowerAscii(type);
}

// Registrations that went out with no answer, by the print's address: when
// they may be asked again, and the wait that led there. Used on the
// interface thread only.
struct HeldBack {
    base::TimePoint notBefore;
    base::Duration wait;
};
std::map<QString, HeldBack>& unansweredRegistrations() {
    static auto* held = new std::map<QString, HeldBack>;
    return *held;
}

}  // namespace

std::shared_ptr<WrenS3Manager> WrenS3Manager::create() { return std::shared_ptr<WrenS3Manager>(new WrenS3Manager()); }

void WrenS3Manager::installAsUploadStarter() {
    MediaItemHelper::setUploadStarter(
        [](std::shared_ptr<MediaItemModel> item, int stage, WrenS3ManagerDelegate* delegate) {
            auto manager = create();
            manager->setDelegate(delegate);
            if (stage == MediaUploadStatusRegistrationFailed) manager->didUploadedMediaToS3(std::move(item));
            else manager->startUplodingMediaToAWS(std::move(item));
        });
}

QString WrenS3Manager::userFolder() {
    // Makes the random id on first use.
    WrenUtils::getSerialOrUniqueUserID();
    return "anon." + QString::fromStdString(UserDefaults::standard().string("unique_random_user_id"));
}

QString WrenS3Manager::objectKey(const QString& filePath, bool isThumb) {
    QString name = QFileInfo(filePath).fileName();
    if (isThumb) {
        QFileInfo info(name);
        QString suffix = info.suffix();
        QString stem = suffix.isEmpty() ? name : name.left(name.size() - suffix.size() - 1);
        name = suffix.isEmpty() ? stem + "_Thumb" : stem + "_Thumb." + suffix;
    }
    return userFolder() + "/" + name;
}

QString WrenS3Manager::thumbnailPathFor(const MediaItemModel& item) {
    QString name = item.fileName.isEmpty() ? QFileInfo(item.filePath).fileName() : item.fileName;
    return QFileInfo(item.filePath).absolutePath() + "/thumb/" + name;
}

QString WrenS3Manager::publicAddressForKey(const QString& key) {
    return joinURL(ServiceConfig::value(ServiceConfig::S3PublicURL),
                   QString::fromStdString(AwsSigV4::encodePath(key.toStdString())));
}

void WrenS3Manager::onMain(base::Task task) { SharingRuntime::mainExecutor().post(std::move(task)); }

void WrenS3Manager::startUplodingMediaToAWS(std::shared_ptr<MediaItemModel> item) {
    uploadMediaToAmazon(item->filePath, false, item);
}

std::optional<std::string> WrenS3Manager::putObject(const QString& filePath, const QString& key) {
    const std::string path = filePath.toStdString();
    const std::string payloadHash = AwsSigV4::sha256OfFile(path);
    if (payloadHash.empty()) return "cannot read " + path;

    const QUrl endpoint(QString::fromStdString(config(ServiceConfig::S3EndpointURL)));
    if (!endpoint.isValid() || endpoint.host().isEmpty()) return std::string("the storage address is not configured");
    std::string host = endpoint.host().toStdString();
    const int defaultPort = endpoint.scheme() == "https" ? 443 : 80;
    if (endpoint.port() != -1 && endpoint.port() != defaultPort) host += ":" + std::to_string(endpoint.port());
    QString prefix = endpoint.path();
    while (prefix.endsWith('/')) prefix.chop(1);
    const std::string bucket = config(ServiceConfig::S3Bucket);
    const std::string uri = prefix.toStdString() + "/" + AwsSigV4::encodePath(bucket) + "/" +
                            AwsSigV4::encodePath(key.toStdString());
    const std::string date = AwsSigV4::amzDate(static_cast<long long>(std::time(nullptr)));

    AwsSigV4::Request toSign;
    toSign.method = "PUT";
    toSign.canonicalUri = uri;
    toSign.payloadHash = payloadHash;
    toSign.headers = {
        {"Host", host},
        {"Content-Type", "image/jpeg"},
        {"x-amz-storage-class", "REDUCED_REDUNDANCY"},
        {"x-amz-acl", "public-read"},
        {"x-amz-content-sha256", payloadHash},
        {"x-amz-date", date},
    };
    const AwsSigV4::Credentials credentials{config(ServiceConfig::S3AccessKeyID),
                                            config(ServiceConfig::S3SecretAccessKey)};
    std::string region = config(ServiceConfig::S3Region);
    if (region.empty()) region = "us-east-1";

    base::HttpRequest request;
    request.method = "PUT";
    request.url = endpoint.scheme().toStdString() + "://" + host + uri;
    request.headers = toSign.headers;
    request.headers.emplace_back("Authorization", AwsSigV4::authorization(toSign, credentials, date, region, "s3"));
    request.bodyFile = path;
    request.connectTimeoutSeconds = kRequestTimeoutSeconds;
    // The whole transfer may take long on a slow line; what ends it is a
    // stretch in which the storage service takes nothing of it. It gives
    // way to a guest's share on the same line.
    SharingRuntime::applyRequestLimits(request, std::chrono::seconds(kStallSeconds),
                                       base::LinePriority::Background);
    base::HttpResponse response = base::httpPerform(request);
    if (auto slow = slowRequest(QStringLiteral("the storage service"), request, response))
        return slow->message.toStdString();
    if (!response.completed()) return response.error.empty() ? std::string("the upload stalled") : response.error;
    if (response.status < 200 || response.status >= 300) {
        std::string code;
        auto start = response.body.find("<Code>");
        auto end = response.body.find("</Code>");
        if (start != std::string::npos && end != std::string::npos && end > start)
            code = " (" + response.body.substr(start + 6, end - start - 6) + ")";
        return "the storage service answered status " + std::to_string(response.status) + code;
    }
    return std::nullopt;
}

bool WrenS3Manager::makeThumbnail(const QString& printPath, const QString& thumbPath) {
    QImageReader reader(printPath);
    reader.setAutoTransform(true);
    const QImage print = reader.read();
    if (print.isNull()) return false;
    return QDir().mkpath(QFileInfo(thumbPath).absolutePath()) &&
           saveImageAtURLAsJPEG(LayoutEngine::makeThumbnail(print), thumbPath);
}

void WrenS3Manager::uploadMediaToAmazon(const QString& filePath, bool isThumb, std::shared_ptr<MediaItemModel> item) {
    auto self = shared_from_this();
    const QString key = objectKey(filePath, isThumb);
    const QString printPath = item->filePath;
    const std::int64_t mediaID = item->ID;
    SharingRuntime::backgroundExecutor().post([self, filePath, isThumb, item, key, printPath, mediaID] {
        const int stage = isThumb ? MediaUploadStatusThumbFailed : MediaUploadStatusImageFailed;
        // A print whose thumbnail was never written (the booth stopped
        // between the two files) gets one made from the print.
        const bool noThumbnail = isThumb && !QFileInfo::exists(filePath) && !makeThumbnail(printPath, filePath);
        bool recorded = false;
        std::optional<std::string> error;
        if (!noThumbnail) {
            recorded = MediaItemModel::recordUploadAttempt(mediaID, stage, QDateTime::currentDateTimeUtc());
            error = recorded ? putObject(filePath, key)
                             : std::optional<std::string>("the database cannot record the upload now");
        }
        self->onMain([self, filePath, isThumb, item, key, error, stage, recorded, noThumbnail] {
            if (noThumbnail) {
                spdlog::warn("WrenS3Manager: {} has no thumbnail and none can be made of it; it is registered "
                             "without one",
                             item->filePath.toStdString());
                self->didUploadedMediaToS3(item);
                return;
            }
            if (recorded) item->stageLastTried = stage;
            if (error) {
                spdlog::error("WrenS3Manager: Error: can't upload file to S3 - {}", *error);
                if (isThumb) {
                    spdlog::error("Can't upload thumb to S3 but not an critical issue so ignoring it.");
                } else {
                    spdlog::error("Can't upload full Image to S3 so aborting operation. - {}", *error);
                }
                if (self->delegate_)
                    self->delegate_->didFailedToUploadModel(item, isThumb ? MediaUploadStatusThumbFailed
                                                                          : MediaUploadStatusImageFailed);
                return;
            }
            const QString address = publicAddressForKey(key);
            spdlog::info("S3 {} URL is: {}", isThumb ? "Thumb" : "Image", address.toStdString());
            if (!isThumb) {
                item->imageURL = address;
                if (self->delegate_) self->delegate_->didUploadedImageToS3(item);
                self->uploadMediaToAmazon(thumbnailPathFor(*item), true, item);
            } else {
                item->thumbURL = address;
                if (self->delegate_) self->delegate_->didUploadedThumbToS3(item);
                self->didUploadedMediaToS3(item);
            }
        });
    });
}

std::optional<QString> WrenS3Manager::registerUpload(const MediaItemModel& item, std::string* error,
                                                     bool* unanswered) {
    base::HttpRequest request;
    request.method = "POST";
    request.url = joinURL(ServiceConfig::value(ServiceConfig::FlashwrenWebServiceURL), QStringLiteral("users/post.php"))
                      .toStdString();
    request.connectTimeoutSeconds = kRequestTimeoutSeconds;
    SharingRuntime::applyRequestLimits(request, std::chrono::seconds(kRequestTimeoutSeconds),
                                       base::LinePriority::Normal);
    request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    request.headers.emplace_back("Accept", "text/html");
    request.body = base::formEncode({
        {"url", item.imageURL.toStdString()},
        {"thumb_url", item.thumbURL.toStdString()},
        {"album", item.albumName.toStdString()},
        {"v", "2"},
    });
    base::HttpResponse response = base::httpPerform(request);
    if (auto slow = slowRequest(QStringLiteral("the gallery service"), request, response)) {
        *error = slow->message.toStdString();
        if (unanswered) *unanswered = slow->unanswered;
        return std::nullopt;
    }
    if (!response.completed()) {
        *error = response.error;
        return std::nullopt;
    }
    if (response.status < 200 || response.status >= 300) {
        *error = "status " + std::to_string(response.status);
        return std::nullopt;
    }
    const std::string type = mimeType(response.header("Content-Type").value_or(""));
    if (type != "text/html") {
        *error = "unacceptable content type \"" + type + "\"";
        return std::nullopt;
    }
    auto reply = base::parseJson(response.body);
    if (!reply || !reply->is_object()) {
        *error = "the reply is not a JSON object";
        return std::nullopt;
    }
    spdlog::info("success response from Amzon_Track_Photo_WS: {}", reply->dump());
    auto url = base::jsonString(*reply, "url");
    if (!url || url->empty()) {
        *error = "the reply has no \"url\"";
        return std::nullopt;
    }
    return QString::fromStdString(*url);
}

void WrenS3Manager::didUploadedMediaToS3(std::shared_ptr<MediaItemModel> item) {
    spdlog::info("Uploaded to AmazonS3...");
    if (item->imageURL.isEmpty()) {
        spdlog::error("WrenS3Manager - didUploadedMediaToS3: Ideally it can't happen but has happend that imageURL is "
                      "null, so ignoring to process... ");
        return;
    }
    auto self = shared_from_this();
    const auto now = SharingRuntime::scheduler().clock().now();
    const QString key = item->imageURL;
    if (!unansweredRegistrations().count(key) && item->stageLastTried == MediaUploadStatusRegistrationFailed &&
        item->dateLastTried.isValid()) {
        // It went out before the booth last stopped, and no answer is known:
        // it may have been made, and waits as one that got no answer.
        const base::Duration since =
            std::chrono::milliseconds(std::max<qint64>(0, item->dateLastTried.msecsTo(QDateTime::currentDateTimeUtc())));
        const base::Duration wait = kFirstUnansweredWait;
        unansweredRegistrations()[key] = HeldBack{now + wait - std::min(since, wait), wait};
    }
    if (auto held = unansweredRegistrations().find(key);
        held != unansweredRegistrations().end() && now < held->second.notBefore) {
        spdlog::warn("WrenS3Manager: the last registration of {} got no answer and may have been made; it is not "
                     "asked again before its wait is over",
                     item->filePath.toStdString());
        onMain([self, item] {
            if (self->delegate_) self->delegate_->didFailedToUploadModel(item, MediaUploadStatusRegistrationFailed);
        });
        return;
    }
    // The form is read here, where the item is changed; the post runs in the background.
    auto snapshot = std::make_shared<MediaItemModel>(*item);
    SharingRuntime::backgroundExecutor().post([self, item, snapshot, key] {
        std::string error;
        bool unanswered = false;
        std::optional<QString> address;
        // Known before it goes, so that a restart knows it may have been made.
        const bool recorded = MediaItemModel::recordUploadAttempt(snapshot->ID, MediaUploadStatusRegistrationFailed,
                                                                  QDateTime::currentDateTimeUtc());
        if (recorded) address = registerUpload(*snapshot, &error, &unanswered);
        else error = "the database cannot record the registration now";
        self->onMain([self, item, address, error, unanswered, key, recorded] {
            if (recorded) item->stageLastTried = unanswered ? MediaUploadStatusRegistrationFailed : 0;
            auto& held = unansweredRegistrations();
            if (!address) {
                spdlog::error("failed response from Amzon_Track_Photo_WS: {}", error);
                if (unanswered) {
                    auto it = held.find(key);
                    const base::Duration longest = kLongestUnansweredWait;
                    const base::Duration wait = it == held.end() ? base::Duration(kFirstUnansweredWait)
                                                                 : std::min<base::Duration>(2 * it->second.wait, longest);
                    held[key] = HeldBack{SharingRuntime::scheduler().clock().now() + wait, wait};
                    spdlog::warn("WrenS3Manager: the registration of {} may have been made though no answer came; "
                                 "it is asked again in {} minutes",
                                 item->filePath.toStdString(),
                                 std::chrono::duration_cast<std::chrono::minutes>(wait).count());
                }
                if (self->delegate_) self->delegate_->didFailedToUploadModel(item, MediaUploadStatusRegistrationFailed);
                return;
            }
            held.erase(key);
            item->uploadURL = *address;
            if (self->delegate_) self->delegate_->didUploadedToWrenTrackAPI(item);
        });
    });
}
