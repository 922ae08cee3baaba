#pragma once
// AWS Signature Version 4 request signing.
#include <string>
#include <utility>
#include <vector>

class AwsSigV4 {
public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    struct Credentials {
        std::string accessKeyId;
        std::string secretAccessKey;
    };

    struct Request {
        std::string method;
        std::string canonicalUri;  // the path as sent (already percent-encoded)
        Fields query;              // raw (decoded) names and values
        Fields headers;            // every header to sign, "host" included
        std::string payloadHash;   // lower-case hex SHA-256 of the body
    };

    // "YYYYMMDDTHHMMSSZ" of a time in seconds since 1970.
    static std::string amzDate(long long secondsSince1970);
    // Each path segment percent-encoded (unreserved characters kept), "/" kept.
    static std::string encodePath(const std::string& path);

    static std::string canonicalRequest(const Request& request);
    static std::string signedHeaders(const Request& request);
    static std::string stringToSign(const std::string& amzDate, const std::string& scope,
                                    const std::string& canonicalRequest);
    // The raw signing key for a day ("YYYYMMDD").
    static std::string signingKey(const std::string& secret, const std::string& day, const std::string& region,
                                  const std::string& service);
    static std::string signature(const Request& request, const Credentials& credentials, const std::string& amzDate,
                                 const std::string& region, const std::string& service);
    // The value of the "Authorization" header.
    static std::string authorization(const Request& request, const Credentials& credentials,
                                     const std::string& amzDate, const std::string& region,
                                     const std::string& service);

    // Lower-case hex SHA-256 of a file read in pieces; empty when it cannot be read.
    static std::string sha256OfFile(const std::string& path);
};
