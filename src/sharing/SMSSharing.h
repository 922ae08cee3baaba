#pragma once
// Sends the link of an uploaded photo by text message through the Messages
// resource of the SMS provider's REST API. The request blocks the calling
// thread (a background one) while it moves and until it is answered; the
// outcome reaches the delegate on the interface thread.
#include <QByteArray>
#include <QString>

#include <optional>

#include <nlohmann/json.hpp>

#include "sharing/FlashwrenSharingBase.h"

class SMSSharing : public FlashwrenSharingBase {
public:
    static constexpr const char* kService = "SMS";
    // Connecting, and the silence allowed while the message is sent.
    static constexpr long kTimeoutSeconds = 20;
    static std::shared_ptr<SMSSharing> create(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate = nullptr);

    // The raw reply bytes (callers ignore them).
    QByteArray sendSMSToNumber(const QString& number, const QString& imageURLToShare);

    // The form body: every value percent-encoded in full.
    static QByteArray messageBody(const QString& to, const QString& from, const QString& text);
    // Whether a reply counts as sent; otherwise `failure` gets the message.
    static bool replyMeansSent(long status, const std::optional<nlohmann::json>& reply, QString* failure);

private:
    using FlashwrenSharingBase::FlashwrenSharingBase;
};
