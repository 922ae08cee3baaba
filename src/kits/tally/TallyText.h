#pragma once
// Text helpers: UTF-16 lengths and cuts on character boundaries over UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tally {

// Calls f(unit) for each UTF-16 code unit of the UTF-8 text; a byte that is
// not valid UTF-8 counts as one U+FFFD.
template <class F>
void forEachUtf16Unit(std::string_view s, F&& f);

// Number of UTF-16 units the text has.
std::size_t utf16Length(std::string_view s);
// The longest prefix of at most `maxUnits` UTF-16 units that ends on a
// character boundary (never inside a UTF-8 sequence or a surrogate pair).
std::string_view utf16Prefix(std::string_view s, std::size_t maxUnits);

// Decodes one code point at s[i]; returns its byte length (1 for an invalid byte, cp = 0xFFFD).
std::size_t decodeUtf8(std::string_view s, std::size_t i, std::uint32_t& cp);

template <class F>
void forEachUtf16Unit(std::string_view s, F&& f) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::uint32_t cp;
        i += decodeUtf8(s, i, cp);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            f(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            f(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            f(static_cast<std::uint16_t>(cp));
        }
    }
}

}  // namespace tally
