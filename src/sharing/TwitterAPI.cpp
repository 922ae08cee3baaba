#include "sharing/TwitterAPI.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "base/Files.h"
#include "base/Multipart.h"
#include "sharing/SharingRuntime.h"

namespace {

std::string field(const OAuth1Signer::Params& params, const std::string& name) {
    for (const auto& [key, value] : params)
        if (key == name) return value;
    return {};
}

std::string timestamp() {
    using namespace std::chrono;
    return std::to_string(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

TwitterAPI::TwitterAPI(QString apiBase, std::string consumerKey, std::string consumerSecret)
    : apiBase_(std::move(apiBase)), consumerKey_(std::move(consumerKey)), consumerSecret_(std::move(consumerSecret)) {
    if (!apiBase_.endsWith('/')) apiBase_ += '/';
}

std::string TwitterAPI::url(const char* path) const { return apiBase_.toStdString() + path; }

QString TwitterAPI::errorDescription(const base::HttpResponse& response) {
    if (!response.completed())
        return QString::fromStdString(response.error.empty() ? "The Twitter service could not be reached."
                                                              : response.error);
    auto json = nlohmann::json::parse(response.body, nullptr, false);
    if (json.is_object()) {
        auto errors = json.find("errors");
        if (errors != json.end() && errors->is_array() && !errors->empty() && (*errors)[0].is_object()) {
            auto message = (*errors)[0].find("message");
            if (message != (*errors)[0].end() && message->is_string())
                return QString::fromStdString(message->get<std::string>());
        }
        auto error = json.find("error");
        if (error != json.end() && error->is_string()) return QString::fromStdString(error->get<std::string>());
    }
    return QStringLiteral("Twitter answered with status %1.").arg(response.status);
}

base::HttpResponse TwitterAPI::signedPost(const std::string& address, const OAuth1Signer::Credentials& credentials,
                                          const OAuth1Signer::Params& extra) {
    base::HttpRequest request;
    request.method = "POST";
    request.url = address;
    request.timeoutSeconds = kTimeoutSeconds;
    request.headers = {{"Authorization", OAuth1Signer::authorizationHeader("POST", address, {}, credentials, extra,
                                                                           OAuth1Signer::makeNonce(), timestamp())},
                       {"Content-Type", "application/x-www-form-urlencoded"}};
    return base::httpPerform(request);
}

std::optional<TwitterAPI::RequestToken> TwitterAPI::postTokenRequest(QString* error) {
    auto response = signedPost(url("oauth/request_token"), {consumerKey_, consumerSecret_, {}, {}},
                               {{"oauth_callback", "oob"}});
    if (!response.completed() || response.status != 200) {
        if (error) *error = errorDescription(response);
        return std::nullopt;
    }
    auto fields = OAuth1Signer::decodeForm(response.body);
    RequestToken token{field(fields, "oauth_token"), field(fields, "oauth_token_secret"), {}};
    if (token.token.empty()) {
        if (error) *error = QStringLiteral("Twitter sent no request token.");
        return std::nullopt;
    }
    token.authorizeURL = QString::fromStdString(url("oauth/authorize") + "?oauth_token=" +
                                                OAuth1Signer::percentEncode(token.token));
    return token;
}

std::optional<TwitterAPI::AccessToken> TwitterAPI::postAccessTokenRequestWithPIN(const RequestToken& requestToken,
                                                                                 const QString& pin, QString* error) {
    auto response = signedPost(url("oauth/access_token"),
                               {consumerKey_, consumerSecret_, requestToken.token, requestToken.secret},
                               {{"oauth_verifier", pin.trimmed().toStdString()}});
    if (!response.completed() || response.status != 200) {
        if (error) *error = errorDescription(response);
        return std::nullopt;
    }
    auto fields = OAuth1Signer::decodeForm(response.body);
    AccessToken token{field(fields, "oauth_token"), field(fields, "oauth_token_secret"), field(fields, "user_id"),
                      field(fields, "screen_name")};
    if (token.token.empty() || token.secret.empty()) {
        if (error) *error = QStringLiteral("Twitter sent no access token.");
        return std::nullopt;
    }
    return token;
}

bool TwitterAPI::postStatusUpdate(const QString& text, const QString& mediaPath, const AccessToken& accessToken,
                                  QString* error) {
    auto photo = base::readFile(mediaPath.toStdString());
    if (!photo) {
        if (error) *error = QStringLiteral("The photo %1 could not be read.").arg(mediaPath);
        return false;
    }
    const std::string boundary = "flashwren-" + OAuth1Signer::makeNonce();
    base::MultipartBody multipart(boundary);
    multipart.addField("status", text.toStdString());
    multipart.addFile("media[]", "photo.jpg", *photo, {"Content-Type: image/jpeg"});
    std::string body = multipart.finish();

    const std::string address = url("1.1/statuses/update_with_media.json");
    base::HttpRequest request;
    request.method = "POST";
    request.url = address;
    SharingRuntime::applyRequestLimits(request, std::chrono::seconds(kUploadSilenceSeconds), base::LinePriority::Guest);
    // A multipart body takes no part in the signature.
    request.headers = {{"Authorization", OAuth1Signer::authorizationHeader(
                                             "POST", address, {},
                                             {consumerKey_, consumerSecret_, accessToken.token, accessToken.secret},
                                             {}, OAuth1Signer::makeNonce(), timestamp())},
                       {"Content-Type", multipart.contentType()}};
    request.body = std::move(body);
    auto response = base::httpPerform(request);
    if (auto slow = slowRequest(QStringLiteral("Twitter"), request, response)) {
        if (error) *error = slow->message;
        return false;
    }
    if (!response.completed() || response.status != 200) {
        if (error) *error = errorDescription(response);
        return false;
    }
    return true;
}
