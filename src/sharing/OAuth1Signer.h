#pragma once
// OAuth 1.0a request signing with HMAC-SHA1 (RFC 5849): the signature base
// string, the signature and the "Authorization: OAuth ..." header.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class OAuth1Signer {
public:
    using Params = std::vector<std::pair<std::string, std::string>>;

    struct Credentials {
        std::string consumerKey;
        std::string consumerSecret;
        std::string token;        // empty before the temporary credentials
        std::string tokenSecret;
    };

    // Percent-encoding of RFC 3986 with the unreserved set only.
    static std::string percentEncode(std::string_view text);
    // Form decoding of query and body pairs ("+" is a blank).
    static Params decodeForm(std::string_view encoded);
    // Scheme and host in lower case, the default port left out, no query.
    static std::string baseStringURI(const std::string& url);
    // The sorted, encoded "name=value" pairs joined by "&".
    static std::string normalizedParameters(const Params& params);
    // METHOD&uri&params. `url` may carry a query; `bodyParams` are the
    // decoded fields of a form-encoded body (none for other bodies);
    // `oauthParams` are the protocol parameters without the signature.
    static std::string signatureBaseString(const std::string& method, const std::string& url,
                                           const Params& oauthParams, const Params& bodyParams);
    // Base64 of HMAC-SHA1 keyed with the encoded secrets joined by "&".
    static std::string sign(const std::string& baseString, const std::string& consumerSecret,
                            const std::string& tokenSecret);

    // The protocol parameters for one request (`extra`: oauth_callback or
    // oauth_verifier), signed, as an Authorization header value.
    static std::string authorizationHeader(const std::string& method, const std::string& url,
                                           const Params& bodyParams, const Credentials& credentials,
                                           const Params& extra, const std::string& nonce,
                                           const std::string& timestamp);
    // 32 letters and digits from the system's cryptographic generator.
    static std::string makeNonce();
};
