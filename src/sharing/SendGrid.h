#pragma once
// The mail-send call of the SendGrid web API: a hand-built multipart/form-data
// body posted synchronously. Blocks while the mail moves and until it is
// answered (see SharingRuntime's request limits): never call it on the
// interface thread.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "sharing/EmailMessage.h"
#include "sharing/SharingRuntime.h"

class SendGrid {
public:
    static constexpr const char* kBoundary = "GLIMMERLY_BOUNDARY_STRING";
    // Connecting, and the silence allowed while the mail is sent.
    static constexpr long kTimeoutSeconds = 30;

    using Success = std::function<void(const nlohmann::json& reply)>;
    using Failure = std::function<void(const QString& message)>;

    static std::unique_ptr<SendGrid> apiUser(const QString& user, const QString& key);
    SendGrid(QString apiUser, QString apiKey);

    QString apiUser() const { return apiUser_; }
    QString apiKey() const { return apiKey_; }
    // Made on first use from the configured base address + "api/mail.send.json".
    QString baseURL();
    void setBaseURL(const QString& url) { baseURL_ = url; }
    // The fixed no-reply sender address.
    static QString noReplyAddress();

    // Builds the body and posts it; exactly one block runs, on this thread.
    // An attachment that cannot be read ends in the failure block, and
    // nothing is sent.
    // A mail sent whole that got no answer goes to `unanswered` (the service
    // may have sent it), or to the failure block when that is not given.
    void sendEmailWithMessage(const EmailMessage& message, const std::optional<QUrl>& imageUrl,
                              const std::optional<QUrl>& logFileUrl, const Success& success, const Failure& failure,
                              const Failure& unanswered = nullptr);
    // A reply outside 2xx is a failure naming the status (and the service's
    // first error when it gives one); a 2xx reply goes to the success block
    // parsed, for the caller to inspect its "errors".
    void sendEmailWithBody(const QByteArray& body, const Success& success, const Failure& failure,
                           const Failure& unanswered = nullptr);

    // The form fields of a message, in the order sent; missing values left out.
    FormFields formFields(const EmailMessage& message) const;
    // The whole multipart body; none when an attachment cannot be read.
    std::optional<QByteArray> multipartBody(const EmailMessage& message, const std::optional<QUrl>& imageUrl,
                                            const std::optional<QUrl>& logFileUrl, QString* error) const;
    static std::optional<QByteArray> GetDataFromFile(const QUrl& fileUrl, QString* error = nullptr);

private:
    QString apiUser_;
    QString apiKey_;
    QString baseURL_;
};
