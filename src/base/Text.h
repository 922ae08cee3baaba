#pragma once
// Byte-wise text helpers that ignore the C locale. Inside a Qt program the
// locale follows the desktop's, and under a Latin-1 locale <cctype> calls
// classify and fold the bytes of UTF-8 sequences as letters: protocol text
// (URLs, header names, signatures) must only ever treat ASCII as ASCII.
#include <string>
#include <string_view>

namespace base {

constexpr bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool isAsciiAlnum(char c) { return isAsciiDigit(c) || isAsciiAlpha(c); }
constexpr bool isAsciiHexDigit(char c) {
    return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// Space, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string toLowerAscii(std::string_view text);
std::string toUpperAscii(std::string_view text);
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);
// Without leading and trailing ASCII white space.
std::string_view trimView(std::string_view text);
std::string trim(std::string_view text);
inline bool startsWith(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }
inline bool endsWith(std::string_view text, std::string_view suffix) { return text.ends_with(suffix); }

}  // namespace base
