#include "sharing/EmailSharing.h"

#include "base/Json.h"
#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "core/Notifications.h"
#include "sharing/SendGrid.h"
#include "sharing/SharingRuntime.h"

namespace {
const char* kInvalidReply = "Invalid e-mail service response received.";
}

std::shared_ptr<EmailSharing> EmailSharing::create(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate) {
    return std::shared_ptr<EmailSharing>(new EmailSharing(std::move(delegate)));
}

EmailMessage EmailSharing::emailMessageToSend() const { return message_; }

void EmailSharing::sendEmailUsingSendGrid(const EmailMessage& message) {
    message_ = message;
    beginAttempt(kService);
    auto self = std::static_pointer_cast<EmailSharing>(shared_from_this());
    SharingRuntime::backgroundExecutor().post([self] { self->sendEmailInBackgroundUsingSendGrid(); });
}

std::optional<QString> EmailSharing::failureOfReply(const nlohmann::json& reply) {
    if (!reply.is_object()) return QString::fromLatin1(kInvalidReply);
    auto errors = reply.find("errors");
    if (errors == reply.end() || errors->is_null()) return std::nullopt;
    if (!errors->is_array()) return QString::fromLatin1(kInvalidReply);
    if (errors->empty()) return std::nullopt;
    const auto& first = errors->front();
    if (first.is_string()) return QString::fromStdString(first.get<std::string>());
    return QString::fromStdString(first.dump());
}

void EmailSharing::sendEmailInBackgroundUsingSendGrid() {
    const auto moving = reportMoving(kService);
    auto mailer = SendGrid::apiUser(ServiceConfig::value(ServiceConfig::SendGridAPIUser),
                                    ServiceConfig::value(ServiceConfig::SendGridAPIKey));
    std::optional<QUrl> photo;
    if (!message_.pathOfImageToSend.isEmpty()) photo = message_.pathOfImageToSend;
    mailer->sendEmailWithMessage(
        message_, photo, std::nullopt,
        [this](const nlohmann::json& reply) {
            const auto* errors = reply.is_object() ? base::jsonArray(reply, "errors") : nullptr;
            spdlog::info("Success done sharing via email-- {}", errors ? errors->dump() : std::string("(none)"));
            if (auto failure = failureOfReply(reply)) reportFailed(kService, *failure);
            else reportFinished(kService, QStringLiteral("E-mail Sent..."));
        },
        [this](const QString& message) { reportFailed(kService, message); },
        [this](const QString& message) { reportUnanswered(kService, message); });
    base::NotificationCenter::defaultCenter().post(kFinishSendingEmailNotification);
}
