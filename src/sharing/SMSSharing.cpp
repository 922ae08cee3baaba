#include "sharing/SMSSharing.h"

#include "base/Http.h"
#include "base/Json.h"
#include "base/Log.h"
#include "core/WrenUtils.h"
#include "sharing/SharingRuntime.h"
#include "templates/TEUtils.h"

namespace {
const char* kInvalidResponse = "Invalid Twilio response received.";

QString setting(const char* key) {
    QVariant value = TEUtils::getUserSettingForKey(QString::fromLatin1(key));
    return value.isValid() ? value.toString() : QString();
}
}  // namespace

std::shared_ptr<SMSSharing> SMSSharing::create(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate) {
    return std::shared_ptr<SMSSharing>(new SMSSharing(std::move(delegate)));
}

QByteArray SMSSharing::messageBody(const QString& to, const QString& from, const QString& text) {
    return QByteArray::fromStdString(base::formEncode({
        {"To", to.toStdString()},
        {"From", from.toStdString()},
        {"Body", text.toStdString()},
    }));
}

bool SMSSharing::replyMeansSent(long status, const std::optional<nlohmann::json>& reply, QString* failure) {
    if (!reply || !reply->is_object()) {
        *failure = QString::fromLatin1(kInvalidResponse);
        return false;
    }
    std::string state;
    if (auto s = base::jsonString(*reply, "status")) state = *s;
    else if (auto n = base::jsonInt(*reply, "status")) state = std::to_string(*n);
    const bool hasId = base::jsonString(*reply, "sid").has_value();
    if (status >= 200 && status < 300 && hasId && state != "failed" && state != "undelivered") return true;
    auto message = base::jsonString(*reply, "message");
    *failure = message ? QString::fromStdString(*message) : QString();
    return false;
}

QByteArray SMSSharing::sendSMSToNumber(const QString& number, const QString& imageURLToShare) {
    beginAttempt(kService);
    const QString sid = setting("TWILIO_ACCOUNT_SID");
    const QString token = setting("TWILIO_AUTH_TOKEN");
    QString from = setting("FROM_TWILIO_NUMBER");
    if (!WrenUtils::hasValue(sid) || !WrenUtils::hasValue(token) || !WrenUtils::hasValue(from)) {
        spdlog::error("TwilioSharing: unable send sms, invalid twilio settings");
        reportFailed(kService, QStringLiteral("Invalid twilio settings."));
        return {};
    }
    if (!from.startsWith('+')) from.prepend('+');
    QString text = setting("SMS_SHARING_TEXT");
    if (!WrenUtils::hasValue(text)) text = QStringLiteral("Here is your photo");
    text += " " + imageURLToShare;

    base::HttpRequest request;
    request.method = "POST";
    request.url = joinURL(ServiceConfig::value(ServiceConfig::TwilioBaseURL),
                          QStringLiteral("2010-04-01/Accounts/%1/Messages.json")
                              .arg(QString::fromStdString(base::urlEncode(sid.toStdString()))))
                      .toStdString();
    // The credentials travel as basic authentication, never inside the address.
    request.username = sid.toStdString();
    request.password = token.toStdString();
    request.connectTimeoutSeconds = kTimeoutSeconds;
    request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    request.body = messageBody(number, from, text).toStdString();
    base::HttpResponse response;
    {
        const auto moving = reportMoving(kService);
        SharingRuntime::applyRequestLimits(request, std::chrono::seconds(kTimeoutSeconds), base::LinePriority::Guest);
        response = base::httpPerform(request);
    }
    QByteArray raw = QByteArray::fromStdString(response.body);

    if (auto slow = slowRequest(QStringLiteral("the SMS service"), request, response)) {
        spdlog::error("TwilioSharing: {}", slow->message.toStdString());
        if (slow->unanswered) reportUnanswered(kService, slow->message);
        else reportFailed(kService, slow->message);
        return raw;
    }

    if (!response.completed()) {
        spdlog::error("TwilioSharing: unable to post on twilio: {}", response.error);
        reportFailed(kService, QStringLiteral("The SMS service could not be reached: %1")
                                   .arg(QString::fromStdString(response.error)));
        return raw;
    }
    if (response.body.empty()) {
        spdlog::error("TwilioSharing: unable to post on twilio, nil response is received");
        reportFailed(kService, QString::fromLatin1(kInvalidResponse));
        return raw;
    }
    auto reply = base::parseJson(response.body);
    QString failure;
    if (replyMeansSent(response.status, reply, &failure)) {
        reportFinished(kService, QStringLiteral("SMS Sent..."));
        return raw;
    }
    // The provider's reply names the error; it carries no credentials.
    spdlog::error("TwilioSharing: unable to post on twilio, response is - {}", reply ? reply->dump() : "(none)");
    reportFailed(kService, failure);
    return raw;
}
