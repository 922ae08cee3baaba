#pragma once
// Byte-wise text helpers that ignore the C locale. Inside a Qt program the
// locale follows the desktop's, and under a Latin-1 locale <cctype> calls
// classify and fold the bytes of UTF-8 sequences as letters: protocol text
// (URLs, header names, signatures) must only ever treat ASCII as ASCII.
#include <optional>
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
// Numbers written and read in the C locale's form ("1.5") whatever locale
// the process runs in: under a session locale with a decimal comma, printf
// and strtod would write "1,5" and stop reading at the point.
// The whole text as a number (leading blanks and a '+' allowed).
std::optional<double> parseDouble(std::string_view text);
// The number at the start of the text, as strtod reads it: leading blanks and
// a '+' skipped, the rest after the number ignored.
std::optional<double> parseLeadingDouble(std::string_view text);
// printf's "%.<decimals>f".
std::string formatFixed(double value, int decimals = 6);

inline bool startsWith(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }
inline bool endsWith(std::string_view text, std::string_view suffix) { return text.ends_with(suffix); }

}  // namespace base
