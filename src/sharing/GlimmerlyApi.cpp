#include "sharing/GlimmerlyApi.h"

#include <QFileInfo>
#include <QUrl>

#include <algorithm>

#include "base/Http.h"
#include "base/Json.h"
#include "base/Log.h"
#include "core/MediaItemHelper.h"
#include "core/Models.h"
#include "core/WrenUtils.h"
#include "sharing/SharingRuntime.h"
#include "templates/TEUtils.h"

namespace {

QString shareTypeName(int type) {
    switch (type) {
    case SharingTypeEmail: return QStringLiteral("email");
    case SharingTypeFacebook: return QStringLiteral("facebook");
    case SharingTypeTwitter: return QStringLiteral("twitter");
    case SharingTypeSMS: return QStringLiteral("sms");
    default: return {};
    }
}

std::shared_future<void> runInBackground(std::function<void()> work) {
    auto promise = std::make_shared<std::promise<void>>();
    std::shared_future<void> done = promise->get_future().share();
    SharingRuntime::backgroundExecutor().post([work = std::move(work), promise] {
        work();
        promise->set_value();
    });
    return done;
}

}  // namespace

QString GlimmerlyApi::CreateSecretKey(const FormFields& fields) {
    FormFields sorted = fields;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return a.first.toUtf8() < b.first.toUtf8();
    });
    QByteArray text;
    for (const auto& [key, value] : sorted) {
        text += key.toUtf8();
        text += value.toUtf8();
    }
    text += ServiceConfig::value(ServiceConfig::GlimmerlySharedSecret).toUtf8();
    return MD5String(QString::fromUtf8(text)).toLower();
}

FormFields GlimmerlyApi::trackingFormFor(const SharingModel& share, const QString& message, const QString& from) {
    FormFields fields;
    QVariant album = TEUtils::getUserSettingForKey(QStringLiteral("ALBUM_NAME"));
    fields.append({QStringLiteral("album"), album.isValid() ? album.toString() : QString()});
    fields.append({QStringLiteral("message"), message});
    fields.append({QStringLiteral("to"), share.toField});
    fields.append({QStringLiteral("from"), from});
    QString type = shareTypeName(share.shareType);
    if (!type.isEmpty()) fields.append({QStringLiteral("type"), type});
    QString hash;
    if (!share.filePath.isEmpty()) {
        auto item = MediaItemHelper::getMediaItemForFileName(QFileInfo(share.filePath).fileName());
        if (item && !item->uploadURL.isEmpty()) hash = QUrl(item->uploadURL).fileName();
    }
    fields.append({QStringLiteral("hash"), hash});
    QString secret = CreateSecretKey(fields);
    fields.append({QStringLiteral("secret"), secret});
    fields.append({QStringLiteral("action"), QStringLiteral("trackshare")});
    return fields;
}

std::optional<QByteArray> GlimmerlyApi::Post_WithUrl(const QString& url, const FormFields& fields, QString* error) {
    base::HttpRequest request;
    request.method = "POST";
    request.url = url.toStdString();
    request.timeoutSeconds = 5;
    request.connectTimeoutSeconds = 5;
    request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    request.body = WrenUtils::encodeDictionary(fields).toStdString();
    base::HttpResponse response = base::httpPerform(request);
    if (!response.completed()) {
        if (error) *error = QString::fromStdString(response.error);
        return std::nullopt;
    }
    if (error) error->clear();
    return QByteArray::fromStdString(response.body);
}

std::shared_future<void> GlimmerlyApi::uploadTrackingDetailsOnGlimmerlyWSFor(const SharingModel& share,
                                                                            const QString& message,
                                                                            const QString& from) {
    spdlog::info("GlimmerlyAPI: uploading tracking details on web service... ");
    // The form is built here, on the caller's thread; only the post moves.
    FormFields fields = trackingFormFor(share, message, from);
    QString url = joinURL(ServiceConfig::value(ServiceConfig::GlimmerlyAPIURL), QString());
    return runInBackground([url, fields] {
        QString error;
        auto body = Post_WithUrl(url, fields, &error);
        if (!body) {
            spdlog::error("GlimmerlyApi: unable to send tracking details to glimmerly webservice, [{}]",
                          error.toStdString());
            return;
        }
        if (auto json = base::parseJson(body->toStdString())) {
            spdlog::info("GlimmerlyApi: Received tracking web service response from glimmerly webserivce as...{}",
                         json->dump());
        } else {
            spdlog::info("GlimmerlyApi: Error parsing JSON: {}", "the reply is not JSON");
        }
    });
}

std::shared_future<void> GlimmerlyApi::updatePrevNextOfUserAtFlashwrenServer(long prevNext) {
    spdlog::info("GlimmerlyAPI: updating PrevNext Of User At FlashwrenServer.. ({})", prevNext);
    QString url = joinURL(ServiceConfig::value(ServiceConfig::FlashwrenAdminURL), QStringLiteral("account/settings"));
    FormFields fields{{QStringLiteral("PrevNext"), QString::number(prevNext)}};
    return runInBackground([url, fields] {
        QString error;
        auto body = Post_WithUrl(url, fields, &error);
        if (!body) {
            spdlog::error("GlimmerlyApi: unable to update previous next on flashwren server, [{}]",
                          error.toStdString());
            return;
        }
        spdlog::info("ShareViaEmail: received tracking response as {} : {}", body->size(), body->toStdString());
    });
}
