#include "kits/tally/TallyText.h"

namespace tally {

std::size_t decodeUtf8(std::string_view s, std::size_t i, std::uint32_t& cp) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t len;
    std::uint32_t min;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07, min = 0x10000;
    } else {
        cp = 0xFFFD;
        return 1;
    }
    if (i + len > s.size()) {
        cp = 0xFFFD;
        return 1;
    }
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char cc = byte(i + k);
        if ((cc & 0xC0) != 0x80) {
            cp = 0xFFFD;
            return 1;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
        return 1;
    }
    return len;
}

std::size_t utf16Length(std::string_view s) {
    std::size_t n = 0;
    forEachUtf16Unit(s, [&](std::uint16_t) { ++n; });
    return n;
}

std::string_view utf16Prefix(std::string_view s, std::size_t maxUnits) {
    std::size_t i = 0, units = 0;
    while (i < s.size()) {
        std::uint32_t cp;
        std::size_t len = decodeUtf8(s, i, cp);
        std::size_t u = cp >= 0x10000 ? 2 : 1;
        if (units + u > maxUnits) break;
        units += u;
        i += len;
    }
    return s.substr(0, i);
}

}  // namespace tally
