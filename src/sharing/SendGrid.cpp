#include "sharing/SendGrid.h"

#include <QFile>

#include "base/Http.h"
#include "base/Json.h"
#include "base/Log.h"
#include "base/Multipart.h"

std::unique_ptr<SendGrid> SendGrid::apiUser(const QString& user, const QString& key) {
    return std::make_unique<SendGrid>(user, key);
}

SendGrid::SendGrid(QString apiUser, QString apiKey) : apiUser_(std::move(apiUser)), apiKey_(std::move(apiKey)) {}

QString SendGrid::baseURL() {
    if (baseURL_.isEmpty())
        baseURL_ = joinURL(ServiceConfig::value(ServiceConfig::SendGridBaseURL), QStringLiteral("api/mail.send.json"));
    return baseURL_;
}

QString SendGrid::noReplyAddress() {
    QString configured = ServiceConfig::value(ServiceConfig::NoReplyEmailAddress);
    return configured.isEmpty() ? QStringLiteral("no-reply@flashwren.com") : configured;
}

FormFields SendGrid::formFields(const EmailMessage& message) const {
    FormFields fields;
    auto add = [&](const char* name, const QString& value) {
        if (!value.isEmpty()) fields.append({QString::fromLatin1(name), value});
    };
    add("api_user", apiUser_);
    add("api_key", apiKey_);
    add("to", message.to);
    add("from", noReplyAddress());
    add("fromname", message.replyto);
    add("replyto", message.replyto);
    add("subject", message.subject);
    add("html", message.body);
    add("x-smtpapi", QStringLiteral("{ \"category\" : \"flashwren_mac\" }"));
    return fields;
}

std::optional<QByteArray> SendGrid::GetDataFromFile(const QUrl& fileUrl, QString* error) {
    QFile file(fileUrl.isLocalFile() ? fileUrl.toLocalFile() : fileUrl.toString());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        spdlog::error("ERROR: {}", file.errorString().toStdString());
        if (error) *error = file.errorString();
        return std::nullopt;
    }
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        spdlog::error("ERROR: {}", file.errorString().toStdString());
        if (error) *error = file.errorString();
        return std::nullopt;
    }
    return data;
}

std::optional<QByteArray> SendGrid::multipartBody(const EmailMessage& message, const std::optional<QUrl>& imageUrl,
                                                  const std::optional<QUrl>& logFileUrl, QString* error) const {
    auto part = [](const QString& name, std::optional<std::string> file, std::vector<std::string> lines) {
        return QByteArray::fromStdString(base::multipartPartHeader(kBoundary, name.toStdString(), file, lines));
    };
    QByteArray body;
    for (const auto& [name, value] : formFields(message)) body += part(name, std::nullopt, {}) + value.toUtf8() + "\r\n";
    if (imageUrl) {
        auto photo = GetDataFromFile(*imageUrl, error);
        if (!photo) return std::nullopt;
        body += part(QStringLiteral("files[photo.jpg]"), "photo.jpg", {"Content-Type: image/jpeg"});
        body += *photo;
        body += "\r\n";
    }
    if (logFileUrl) {
        auto log = GetDataFromFile(*logFileUrl, error);
        if (!log) return std::nullopt;
        body += part(QStringLiteral("files[logfile.txt]"), "log.txt", {"Content-Type: html/text"});
        body += *log;
        body += "\r\n";
    }
    body += QByteArray::fromStdString(base::multipartClosing(kBoundary));
    return body;
}

void SendGrid::sendEmailWithMessage(const EmailMessage& message, const std::optional<QUrl>& imageUrl,
                                    const std::optional<QUrl>& logFileUrl, const Success& success,
                                    const Failure& failure, const Failure& unanswered) {
    QString error;
    auto body = multipartBody(message, imageUrl, logFileUrl, &error);
    if (!body) {
        failure(QStringLiteral("The file to attach could not be read."));
        return;
    }
    sendEmailWithBody(*body, success, failure, unanswered);
}

void SendGrid::sendEmailWithBody(const QByteArray& body, const Success& success, const Failure& failure,
                                 const Failure& unanswered) {
    base::HttpRequest request;
    request.method = "POST";
    request.url = baseURL().toStdString();
    request.connectTimeoutSeconds = kTimeoutSeconds;
    SharingRuntime::applyRequestLimits(request, std::chrono::seconds(kTimeoutSeconds), base::LinePriority::Guest);
    request.headers.emplace_back("Content-Type", base::multipartContentType(kBoundary));
    request.body = body.toStdString();
    base::HttpResponse response = base::httpPerform(request);
    if (auto slow = slowRequest(QStringLiteral("the mail service"), request, response)) {
        spdlog::error("SendGrid: {}", slow->message.toStdString());
        if (slow->unanswered && unanswered) unanswered(slow->message);
        else failure(slow->message);
        return;
    }
    if (!response.completed()) {
        // The share's row keeps the cause: a refused or unresolved service
        // is not a missing internet connection.
        spdlog::error("error: {}", response.error);
        failure(QStringLiteral("The mail service could not be reached: %1").arg(QString::fromStdString(response.error)));
        return;
    }
    auto reply = base::parseJson(response.body);
    if (response.status < 200 || response.status > 299) {
        // A refusal or an outage: whatever the body holds, the mail was not
        // taken, so the share must stay pending and be tried again.
        QString message = QStringLiteral("The mail service answered with HTTP status %1").arg(response.status);
        const nlohmann::json* errors = reply && reply->is_object() ? base::jsonArray(*reply, "errors") : nullptr;
        if (errors && !errors->empty() && errors->front().is_string())
            message += QStringLiteral(": ") + QString::fromStdString(errors->front().get<std::string>());
        else
            message += QLatin1Char('.');
        spdlog::error("SendGrid: the mail was refused with HTTP status {}", response.status);
        failure(message);
        return;
    }
    if (!reply) {
        spdlog::error("Error parsing JSON: {}", "the mail service answered status " + std::to_string(response.status) +
                                                   " with a body that is not JSON");
        failure(QStringLiteral("The mail service's answer could not be read."));
        return;
    }
    success(*reply);
}
