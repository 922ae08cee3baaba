#pragma once
// Sends one e-mail with the photo attached through the mail web API, on a
// background thread. The outcome reaches the delegate on the interface
// thread, and "FinishSendingEmailNotification" is posted when the attempt ends.
#include "sharing/EmailMessage.h"
#include "sharing/FlashwrenSharingBase.h"

#include <nlohmann/json.hpp>

class EmailSharing : public FlashwrenSharingBase {
public:
    static constexpr const char* kService = "Email";
    static std::shared_ptr<EmailSharing> create(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate = nullptr);

    // Returns at once. The object keeps itself alive until the send has ended.
    void sendEmailUsingSendGrid(const EmailMessage& message);
    EmailMessage emailMessageToSend() const;

    // The outcome of a parsed mail-service reply: empty when the mail was
    // accepted, else the failure message.
    static std::optional<QString> failureOfReply(const nlohmann::json& reply);

private:
    using FlashwrenSharingBase::FlashwrenSharingBase;
    void sendEmailInBackgroundUsingSendGrid();
    EmailMessage message_;
};
