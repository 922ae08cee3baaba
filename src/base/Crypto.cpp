#include "base/Crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace base {

namespace {
std::string digest(const EVP_MD* md, std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
    return std::string(reinterpret_cast<char*>(out), len);
}
std::string hmac(const EVP_MD* md, std::string_view key, std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(md, key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), out, &len);
    return std::string(reinterpret_cast<char*>(out), len);
}
}  // namespace

std::string md5(std::string_view data) { return digest(EVP_md5(), data); }
std::string sha1(std::string_view data) { return digest(EVP_sha1(), data); }
std::string sha256(std::string_view data) { return digest(EVP_sha256(), data); }
std::string hmacSha1(std::string_view key, std::string_view data) { return hmac(EVP_sha1(), key, data); }
std::string hmacSha256(std::string_view key, std::string_view data) { return hmac(EVP_sha256(), key, data); }
std::string md5Hex(std::string_view data) { return hexEncode(md5(data)); }
std::string sha1Hex(std::string_view data) { return hexEncode(sha1(data)); }
std::string sha256Hex(std::string_view data) { return hexEncode(sha256(data)); }

std::string hexEncode(std::string_view bytes, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

std::string base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

std::string base64Decode(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') clean.push_back(c);
    if (clean.size() % 4 != 0) return {};
    std::string out(clean.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
    if (n < 0) return {};
    size_t len = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the padding as zero bytes.
    if (!clean.empty() && clean.back() == '=') --len;
    if (clean.size() > 1 && clean[clean.size() - 2] == '=') --len;
    out.resize(len);
    return out;
}

std::string randomBytes(std::size_t count) {
    std::string out(count, '\0');
    if (count && RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1)
        throw std::runtime_error("no random bytes");
    return out;
}

}  // namespace base
