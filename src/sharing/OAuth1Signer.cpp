#include "sharing/OAuth1Signer.h"

#include <algorithm>
#include <cctype>

#include "base/Crypto.h"
#include "base/Http.h"
#include "base/Text.h"

// RFC 3986 unreserved characters pass; everything else is escaped, which is
// exactly the form encoding of the rest of the booth.
std::string OAuth1Signer::percentEncode(std::string_view text) { return base::urlEncode(text); }

OAuth1Signer::Params OAuth1Signer::decodeForm(std::string_view encoded) {
    auto decode = [](std::string_view s) { return base::urlDecode(s); };
    Params params;
    while (!encoded.empty()) {
        auto amp = encoded.find('&');
        std::string_view pair = encoded.substr(0, amp);
        encoded = amp == std::string_view::npos ? std::string_view() : encoded.substr(amp + 1);
        if (pair.empty()) continue;
        auto eq = pair.find('=');
        if (eq == std::string_view::npos) params.emplace_back(decode(pair), "");
        else params.emplace_back(decode(pair.substr(0, eq)), decode(pair.substr(eq + 1)));
    }
    return params;
}

std::string OAuth1Signer::baseStringURI(const std::string& url) {
    std::string u = url.substr(0, url.find_first_of("?#"));
    auto schemeEnd = u.find("://");
    if (schemeEnd == std::string::npos) return u;
    std::string scheme = u.substr(0, schemeEnd);
    scheme = base::toLowerAscii(scheme);
    std::string rest = u.substr(schemeEnd + 3);
    auto slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    authority = base::toLowerAscii(authority);
    if ((scheme == "http" && authority.size() > 3 && authority.ends_with(":80")) ||
        (scheme == "https" && authority.size() > 4 && authority.ends_with(":443")))
        authority.erase(authority.rfind(':'));
    return scheme + "://" + authority + path;
}

std::string OAuth1Signer::normalizedParameters(const Params& params) {
    std::vector<std::pair<std::string, std::string>> encoded;
    encoded.reserve(params.size());
    for (const auto& [name, value] : params) encoded.emplace_back(percentEncode(name), percentEncode(value));
    std::sort(encoded.begin(), encoded.end());
    std::string out;
    for (const auto& [name, value] : encoded) {
        if (!out.empty()) out += '&';
        out += name + '=' + value;
    }
    return out;
}

std::string OAuth1Signer::signatureBaseString(const std::string& method, const std::string& url,
                                              const Params& oauthParams, const Params& bodyParams) {
    Params all;
    auto query = url.find('?');
    if (query != std::string::npos) {
        std::string q = url.substr(query + 1);
        q = q.substr(0, q.find('#'));
        all = decodeForm(q);
    }
    all.insert(all.end(), oauthParams.begin(), oauthParams.end());
    all.insert(all.end(), bodyParams.begin(), bodyParams.end());
    std::string upper = base::toUpperAscii(method);
    return upper + '&' + percentEncode(baseStringURI(url)) + '&' + percentEncode(normalizedParameters(all));
}

std::string OAuth1Signer::sign(const std::string& baseString, const std::string& consumerSecret,
                               const std::string& tokenSecret) {
    return base::base64Encode(
        base::hmacSha1(percentEncode(consumerSecret) + '&' + percentEncode(tokenSecret), baseString));
}

std::string OAuth1Signer::authorizationHeader(const std::string& method, const std::string& url,
                                              const Params& bodyParams, const Credentials& credentials,
                                              const Params& extra, const std::string& nonce,
                                              const std::string& timestamp) {
    Params oauth = {{"oauth_consumer_key", credentials.consumerKey},
                    {"oauth_nonce", nonce},
                    {"oauth_signature_method", "HMAC-SHA1"},
                    {"oauth_timestamp", timestamp},
                    {"oauth_version", "1.0"}};
    if (!credentials.token.empty()) oauth.emplace_back("oauth_token", credentials.token);
    oauth.insert(oauth.end(), extra.begin(), extra.end());
    std::string signature =
        sign(signatureBaseString(method, url, oauth, bodyParams), credentials.consumerSecret, credentials.tokenSecret);
    oauth.emplace_back("oauth_signature", signature);
    std::sort(oauth.begin(), oauth.end());
    std::string header = "OAuth ";
    for (size_t i = 0; i < oauth.size(); ++i) {
        if (i) header += ", ";
        header += percentEncode(oauth[i].first) + "=\"" + percentEncode(oauth[i].second) + '"';
    }
    return header;
}

std::string OAuth1Signer::makeNonce() {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string bytes = base::randomBytes(32);
    std::string nonce;
    for (unsigned char b : bytes) nonce.push_back(alphabet[b % 62]);
    return nonce;
}
