#pragma once
// Digests, HMAC, Base64 and hex over OpenSSL.
#include <string>
#include <string_view>

namespace base {

std::string md5(std::string_view data);      // raw 16 bytes
std::string sha1(std::string_view data);     // raw 20 bytes
std::string sha256(std::string_view data);   // raw 32 bytes
std::string hmacSha1(std::string_view key, std::string_view data);
std::string hmacSha256(std::string_view key, std::string_view data);
std::string hexEncode(std::string_view bytes, bool upper = false);
std::string base64Encode(std::string_view bytes);
std::string base64Decode(std::string_view text);  // skips white space; empty on bad input
std::string md5Hex(std::string_view data);    // lower case
std::string sha1Hex(std::string_view data);
std::string sha256Hex(std::string_view data);
// Bytes from the system's cryptographic generator.
std::string randomBytes(std::size_t count);

}  // namespace base
