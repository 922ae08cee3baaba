#include "sharing/AwsSigV4.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <memory>

#include "base/Crypto.h"
#include "base/Http.h"
#include "base/Text.h"

namespace {

std::string lower(const std::string& s) { return base::toLowerAscii(s); }

// Trims the value and folds runs of spaces into one.
std::string canonicalValue(const std::string& value) {
    std::string out;
    bool space = false;
    for (char c : value) {
        if (c == ' ' || c == '\t') {
            space = !out.empty();
            continue;
        }
        if (space) out.push_back(' ');
        space = false;
        out.push_back(c);
    }
    return out;
}

}  // namespace

std::string AwsSigV4::amzDate(long long secondsSince1970) {
    std::time_t t = static_cast<std::time_t>(secondsSince1970);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &tm);
    return buffer;
}

std::string AwsSigV4::encodePath(const std::string& path) {
    std::string out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        out += base::urlEncode(std::string_view(path).substr(start, slash - start));
        if (slash < path.size()) out.push_back('/');
        start = slash + 1;
    }
    return out;
}

std::string AwsSigV4::signedHeaders(const Request& request) {
    std::vector<std::string> names;
    for (const auto& [name, value] : request.headers) names.push_back(lower(name));
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::string out;
    for (const auto& n : names) {
        if (!out.empty()) out.push_back(';');
        out += n;
    }
    return out;
}

std::string AwsSigV4::canonicalRequest(const Request& request) {
    AwsSigV4::Fields query;
    for (const auto& [k, v] : request.query) query.emplace_back(base::urlEncode(k), base::urlEncode(v));
    std::sort(query.begin(), query.end());
    std::string queryText;
    for (const auto& [k, v] : query) {
        if (!queryText.empty()) queryText.push_back('&');
        queryText += k + "=" + v;
    }

    // Headers by lower-case name; repeated names join their values with ",".
    std::vector<std::pair<std::string, std::string>> headers;
    for (const auto& [name, value] : request.headers) headers.emplace_back(lower(name), canonicalValue(value));
    std::stable_sort(headers.begin(), headers.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string headerText;
    for (size_t i = 0; i < headers.size(); ++i) {
        if (i > 0 && headers[i].first == headers[i - 1].first) {
            headerText.pop_back();  // the "\n" of the previous line
            headerText += "," + headers[i].second + "\n";
        } else {
            headerText += headers[i].first + ":" + headers[i].second + "\n";
        }
    }
    std::string uri = request.canonicalUri.empty() ? "/" : request.canonicalUri;
    return request.method + "\n" + uri + "\n" + queryText + "\n" + headerText + "\n" + signedHeaders(request) + "\n" +
           request.payloadHash;
}

std::string AwsSigV4::stringToSign(const std::string& date, const std::string& scope, const std::string& canonical) {
    return "AWS4-HMAC-SHA256\n" + date + "\n" + scope + "\n" + base::sha256Hex(canonical);
}

std::string AwsSigV4::signingKey(const std::string& secret, const std::string& day, const std::string& region,
                       const std::string& service) {
    std::string k = base::hmacSha256("AWS4" + secret, day);
    k = base::hmacSha256(k, region);
    k = base::hmacSha256(k, service);
    return base::hmacSha256(k, "aws4_request");
}

std::string AwsSigV4::signature(const Request& request, const Credentials& credentials, const std::string& date,
                      const std::string& region, const std::string& service) {
    const std::string day = date.substr(0, 8);
    const std::string scope = day + "/" + region + "/" + service + "/aws4_request";
    const std::string toSign = stringToSign(date, scope, canonicalRequest(request));
    return base::hexEncode(base::hmacSha256(signingKey(credentials.secretAccessKey, day, region, service), toSign));
}

std::string AwsSigV4::authorization(const Request& request, const Credentials& credentials, const std::string& date,
                          const std::string& region, const std::string& service) {
    const std::string scope = date.substr(0, 8) + "/" + region + "/" + service + "/aws4_request";
    return "AWS4-HMAC-SHA256 Credential=" + credentials.accessKeyId + "/" + scope +
           ", SignedHeaders=" + signedHeaders(request) +
           ", Signature=" + signature(request, credentials, date, region, service);
}

std::string AwsSigV4::sha256OfFile(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return {};
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return {};
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) EVP_DigestUpdate(ctx.get(), buffer, n);
    if (std::ferror(file.get())) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    return base::hexEncode(std::string_view(reinterpret_cast<char*>(digest), length));
}

