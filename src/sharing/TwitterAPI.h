#pragma once
// Our OAuth 1.0a client of the Twitter API for the PIN flow: temporary
// credentials, the authorise address, the access token for a PIN, and a
// status update with one photo. Every call blocks: run them off the
// interface thread.
#include <QString>

#include <optional>
#include <string>

#include "base/Http.h"
#include "sharing/OAuth1Signer.h"

class TwitterAPI {
public:
    static constexpr long kTimeoutSeconds = 30;
    // The silence allowed while a photo is sent: the request time-out the
    // status update has always had on its first platform.
    static constexpr long kUploadSilenceSeconds = 60;

    // `apiBase`: the API's base address, e.g. "https://api.twitter.com/".
    TwitterAPI(QString apiBase, std::string consumerKey, std::string consumerSecret);

    struct RequestToken {
        std::string token;
        std::string secret;
        QString authorizeURL;
    };
    struct AccessToken {
        std::string token;
        std::string secret;
        std::string userID;
        std::string screenName;
    };

    // PIN mode: the callback is "oob".
    std::optional<RequestToken> postTokenRequest(QString* error);
    std::optional<AccessToken> postAccessTokenRequestWithPIN(const RequestToken& requestToken, const QString& pin,
                                                             QString* error);
    // Posts `text` with the photo at `mediaPath` as a multipart form.
    bool postStatusUpdate(const QString& text, const QString& mediaPath, const AccessToken& accessToken,
                          QString* error);

    // What went wrong with a reply, for the guest and the log.
    static QString errorDescription(const base::HttpResponse& response);

private:
    std::string url(const char* path) const;
    base::HttpResponse signedPost(const std::string& url, const OAuth1Signer::Credentials& credentials,
                                  const OAuth1Signer::Params& extra);
    QString apiBase_;
    std::string consumerKey_;
    std::string consumerSecret_;
};
