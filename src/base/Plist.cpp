#include "base/Plist.h"
#include <nlohmann/json.hpp>

#include <plist/plist.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "base/Files.h"
#include "base/Log.h"
#include "base/Text.h"

namespace base {

namespace {

// Seconds between 1970 and the property-list epoch (2001-01-01).
constexpr double kEpochOffset = 978307200.0;

// libplist's own dates are not used: it hands a date out as 32-bit seconds
// from 2001 (1932 to 2069, anything else clamped or cut), with the sign of a
// fraction lost, and its XML writer drops the fraction's sign. The list's
// own bytes say what a date is; libplist carries only a stand-in for it.
struct ReadDates {
    bool binary = false;   // every date node is a stand-in: its seconds index `since2001`
    std::string token;     // XML: a text "<token><index>" stands for since2001[index]
    std::vector<double> since2001;
};

// Whether `s` is `token` followed by the decimal index of one of `dates`.
std::optional<std::size_t> standInIndex(std::string_view s, const std::string& token, std::size_t dates) {
    if (token.empty() || s.size() <= token.size() || s.substr(0, token.size()) != token) return std::nullopt;
    std::size_t index = 0;
    for (char c : s.substr(token.size())) {
        if (c < '0' || c > '9' || index > dates) return std::nullopt;
        index = index * 10 + static_cast<std::size_t>(c - '0');
    }
    if (index >= dates) return std::nullopt;
    return index;
}

nlohmann::json toJson(plist_t node, int depth, const ReadDates& dates, const std::string& where) {
    if (!node || depth > 256) return nullptr;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return b != 0;
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        // libplist keeps negative integers as their two's complement.
        return static_cast<int64_t>(v);
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return d;
    }
    case PLIST_STRING: {
        // With its length: a binary list's string may hold NUL bytes, which
        // the copying reader would take for a damaged node and abort on.
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        std::string text = s ? std::string(s, length) : std::string();
        if (auto index = standInIndex(text, dates.token, dates.since2001.size()))
            return plistDate(dates.since2001[*index] + kEpochOffset);
        // No property list can be written with a NUL inside a text (XML
        // forbids the character, and libplist's writer stops at it), so it is
        // dropped here: what is read is what a save writes.
        if (const auto nuls = std::count(text.begin(), text.end(), '\0')) {
            text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
            spdlog::warn("Plist: the text of \"{}\" held {} NUL character(s); it is kept without them", where, nuls);
        }
        return text;
    }
    case PLIST_DATA: {
        char* d = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &d, &len);
        std::vector<uint8_t> bytes(d, d + len);
        std::free(d);
        return nlohmann::json::binary(std::move(bytes));
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        if (dates.binary) {
            if (usec != 0 || sec < 0 || static_cast<std::size_t>(sec) >= dates.since2001.size()) return nullptr;
            const double since2001 = dates.since2001[static_cast<std::size_t>(sec)];
            // Infinite or NaN seconds are no moment: left out, and said.
            if (!std::isfinite(since2001)) {
                spdlog::warn("Plist: the date of \"{}\" holds no time ({}); it is left out", where, since2001);
                return nullptr;
            }
            return plistDate(since2001 + kEpochOffset);
        }
        // An XML date in a form the stand-ins leave to libplist: whole
        // seconds, within its range.
        return plistDate(static_cast<double>(sec) + kEpochOffset);
    }
    case PLIST_ARRAY: {
        auto out = nlohmann::json::array();
        uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i)
            out.push_back(toJson(plist_array_get_item(node, i), depth + 1, dates, where + "[" + std::to_string(i) + "]"));
        return out;
    }
    case PLIST_DICT: {
        auto out = nlohmann::json::object();
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!key) break;
            out[key] = toJson(value, depth + 1, dates, where.empty() ? std::string(key) : where + "." + key);
            std::free(key);
        }
        std::free(it);
        return out;
    }
    default:
        return nullptr;
    }
}

// The dates of a list being written: libplist writes a stand-in for each
// (a text in XML, a date of `index` seconds in the binary form), which the
// finished bytes then replace.
struct WriteDates {
    bool binary = false;
    std::string token;
    std::vector<double> since2001;
};

plist_t fromJson(const nlohmann::json& v, WriteDates& dates) {
    switch (v.type()) {
    case nlohmann::json::value_t::boolean:
        return plist_new_bool(v.get<bool>() ? 1 : 0);
    case nlohmann::json::value_t::number_integer:
        return plist_new_uint(static_cast<uint64_t>(v.get<int64_t>()));
    case nlohmann::json::value_t::number_unsigned:
        return plist_new_uint(v.get<uint64_t>());
    case nlohmann::json::value_t::number_float:
        // Infinities and NaN too: both forms hold them ("+infinity", "nan").
        return plist_new_real(v.get<double>());
    case nlohmann::json::value_t::string: {
        // The writer stops at a NUL; the reader drops it. Both keep the rest.
        const std::string& text = v.get_ref<const std::string&>();
        if (text.find('\0') == std::string::npos) return plist_new_string(text.c_str());
        std::string clean = text;
        clean.erase(std::remove(clean.begin(), clean.end(), '\0'), clean.end());
        return plist_new_string(clean.c_str());
    }
    case nlohmann::json::value_t::binary: {
        if (auto seconds = plistDateSeconds(v)) {
            const auto index = dates.since2001.size();
            dates.since2001.push_back(*seconds - kEpochOffset);
            if (dates.binary) return plist_new_date(static_cast<int32_t>(std::min<std::size_t>(index, INT32_MAX)), 0);
            return plist_new_string((dates.token + std::to_string(index)).c_str());
        }
        auto& b = v.get_binary();
        return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
    }
    case nlohmann::json::value_t::array: {
        plist_t a = plist_new_array();
        for (auto& item : v) {
            if (item.is_null()) continue;  // property lists have no null
            plist_array_append_item(a, fromJson(item, dates));
        }
        return a;
    }
    case nlohmann::json::value_t::object: {
        plist_t d = plist_new_dict();
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (it.value().is_null()) continue;
            plist_dict_set_item(d, it.key().c_str(), fromJson(it.value(), dates));
        }
        return d;
    }
    default:
        return plist_new_string("");
    }
}

std::uint64_t bigEndian(const unsigned char* p, unsigned width) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

// The objects of a binary list, found through its trailer and offset table.
struct BinaryObjects {
    static constexpr std::size_t kTrailer = 32;
    const unsigned char* u = nullptr;
    std::uint64_t table = 0, count = 0;
    unsigned offsetSize = 0, refSize = 0;
    bool valid = false;  // false also for a list too short to have objects

    explicit BinaryObjects(std::string_view bytes) {
        if (bytes.size() < 8 + kTrailer) return;
        u = reinterpret_cast<const unsigned char*>(bytes.data());
        const std::uint64_t trailer = bytes.size() - kTrailer;
        offsetSize = u[trailer + 6];
        refSize = u[trailer + 7];
        count = bigEndian(u + trailer + 8, 8);
        table = bigEndian(u + trailer + 24, 8);
        valid = offsetSize != 0 && offsetSize <= 8 && refSize != 0 && refSize <= 8 && table >= 8 &&
                table <= trailer && count <= (trailer - table) / offsetSize;
    }
    // False when the object's offset points outside the objects.
    bool offsetOf(std::uint64_t index, std::uint64_t& offset) const {
        offset = bigEndian(u + table + index * offsetSize, offsetSize);
        return offset >= 8 && offset < table;
    }
};

// libplist hands out dictionary keys only as C strings and aborts the process
// when a key's length and its strlen differ, so a key holding a NUL byte must
// be found before the list is handed to it. Walks the binary list's offset
// table and checks every dictionary's keys; false also when the list is
// inconsistent in a way that would send the walk out of bounds.
bool binaryKeysHoldNoNul(std::string_view bytes) {
    if (bytes.size() < 8 + BinaryObjects::kTrailer) return true;  // too short to parse at all
    const BinaryObjects objects(bytes);
    if (!objects.valid) return false;
    const unsigned char* u = objects.u;
    const std::uint64_t table = objects.table, count = objects.count;
    const unsigned refSize = objects.refSize;
    auto offsetOf = [&objects](std::uint64_t index, std::uint64_t& offset) { return objects.offsetOf(index, offset); };
    // An object's element count: the marker's low nibble, or an integer object after it.
    auto lengthAt = [&](std::uint64_t offset, std::uint64_t& length, std::uint64_t& start) {
        start = offset + 1;
        unsigned low = u[offset] & 0x0F;
        if (low != 0x0F) {
            length = low;
            return true;
        }
        if (start >= table || (u[start] & 0xF0) != 0x10) return false;
        unsigned width = 1u << (u[start] & 0x0F);
        if (width > 8 || start + 1 + width > table) return false;
        length = bigEndian(u + start + 1, width);
        start += 1 + width;
        return true;
    };
    // 0 unchecked, 1 clean, 2 holds NUL; a key shared by many dictionaries is read once.
    std::vector<unsigned char> keyState(count, 0);
    auto keyIsClean = [&](std::uint64_t ref) {
        if (keyState[ref]) return keyState[ref] == 1;
        std::uint64_t offset = 0, length = 0, start = 0;
        bool clean = offsetOf(ref, offset);
        unsigned type = clean ? u[offset] >> 4 : 0;
        if (clean && (type == 0x5 || type == 0x6)) {  // ASCII or UTF-16 text
            clean = lengthAt(offset, length, start) && length <= table &&
                    start + length * (type == 0x6 ? 2 : 1) <= table;
            if (clean && type == 0x5) clean = std::memchr(u + start, 0, length) == nullptr;
            for (std::uint64_t i = 0; clean && type == 0x6 && i < length; ++i)
                clean = u[start + 2 * i] != 0 || u[start + 2 * i + 1] != 0;
        }
        keyState[ref] = clean ? 1 : 2;
        return clean;
    };
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t offset = 0, entries = 0, start = 0;
        if (!offsetOf(i, offset)) return false;
        if ((u[offset] >> 4) != 0xD) continue;
        if (!lengthAt(offset, entries, start) || entries > (table - start) / refSize) return false;
        for (std::uint64_t k = 0; k < entries; ++k) {
            std::uint64_t ref = bigEndian(u + start + k * refSize, refSize);
            if (ref >= count || !keyIsClean(ref)) return false;
        }
    }
    return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction, then "Z": the seconds
// since 2001. None for any other form (libplist reads those as before).
std::optional<double> parseXmlDate(std::string_view text) {
    while (!text.empty() && isAsciiSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isAsciiSpace(text.back())) text.remove_suffix(1);
    auto number = [&text](std::size_t at, std::size_t width, unsigned& out) {
        if (at + width > text.size()) return false;
        out = 0;
        for (std::size_t i = at; i < at + width; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            out = out * 10 + static_cast<unsigned>(text[i] - '0');
        }
        return true;
    };
    unsigned year, month, day, hour, minute, second;
    if (text.size() < 20 || !number(0, 4, year) || text[4] != '-' || !number(5, 2, month) || text[7] != '-' ||
        !number(8, 2, day) || text[10] != 'T' || !number(11, 2, hour) || text[13] != ':' || !number(14, 2, minute) ||
        text[16] != ':' || !number(17, 2, second) || text.back() != 'Z')
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    double fraction = 0;
    std::string_view tail = text.substr(19, text.size() - 20);
    if (!tail.empty()) {
        if (tail.size() < 2 || tail[0] != '.') return std::nullopt;
        double scale = 0.1;
        for (char c : tail.substr(1)) {
            if (c < '0' || c > '9') return std::nullopt;
            fraction += (c - '0') * scale;
            scale /= 10;
        }
    }
    const std::int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return static_cast<double>(seconds) - kEpochOffset + fraction;
}

// The XML text of a date: whole seconds (earlier ones rounded down), as every
// reader of the format expects, within the years 1 to 9999 it can spell.
std::string xmlDate(double since2001) {
    const double whole = std::clamp(std::floor(since2001 + kEpochOffset), -62135596800.0, 253402300799.0);
    const auto seconds = static_cast<std::int64_t>(whole);
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t rest = seconds - days * 86400;
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    char out[96];
    std::snprintf(out, sizeof out, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(year), month, day,
                  static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
    return out;
}

// A text that occurs nowhere in `bytes`, to stand for the dates.
std::string freshToken(std::string_view bytes) {
    for (unsigned n = 0;; ++n) {
        std::string token = "flashwren-date-" + std::to_string(n) + "-";
        if (bytes.find(token) == std::string_view::npos) return token;
    }
}

// The list with each date element that parses replaced by a stand-in text.
// Comments, character data and processing instructions are copied as they are.
std::string standInXmlDates(std::string_view xml, ReadDates& dates) {
    dates.token = freshToken(xml);
    std::string out;
    out.reserve(xml.size());
    std::size_t i = 0;
    while (i < xml.size()) {
        const std::size_t lt = xml.find('<', i);
        if (lt == std::string_view::npos) {
            out.append(xml.substr(i));
            break;
        }
        out.append(xml.substr(i, lt - i));
        const std::string_view rest = xml.substr(lt);
        std::string_view skipTo;
        if (rest.substr(0, 4) == "<!--") skipTo = "-->";
        if (rest.substr(0, 9) == "<![CDATA[") skipTo = "]]>";
        if (rest.substr(0, 2) == "<?") skipTo = "?>";
        if (!skipTo.empty()) {
            const std::size_t e = xml.find(skipTo, lt + 2);
            const std::size_t stop = e == std::string_view::npos ? xml.size() : e + skipTo.size();
            out.append(xml.substr(lt, stop - lt));
            i = stop;
            continue;
        }
        if (rest.substr(0, 6) == "<date>") {
            const std::size_t end = xml.find("</date>", lt + 6);
            if (end != std::string_view::npos) {
                if (auto since2001 = parseXmlDate(xml.substr(lt + 6, end - lt - 6))) {
                    out += "<string>" + dates.token + std::to_string(dates.since2001.size()) + "</string>";
                    dates.since2001.push_back(*since2001);
                    i = end + 7;
                    continue;
                }
            }
        }
        out.push_back('<');
        i = lt + 1;
    }
    return out;
}

std::string bigEndianDouble(double d) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    std::string out(8, '\0');
    for (int i = 7; i >= 0; --i, bits >>= 8) out[i] = static_cast<char>(bits & 0xFF);
    return out;
}

double doubleAt(const unsigned char* p) {
    const std::uint64_t bits = bigEndian(p, 8);
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// A copy of the binary list whose date objects hold, in place of their
// seconds, their index in `dates`, where the seconds are kept.
std::string standInBinaryDates(std::string_view bytes, ReadDates& dates) {
    dates.binary = true;
    std::string out(bytes);
    const BinaryObjects objects(bytes);
    if (!objects.valid) return out;
    std::set<std::uint64_t> seen;
    for (std::uint64_t i = 0; i < objects.count; ++i) {
        std::uint64_t offset = 0;
        if (!objects.offsetOf(i, offset) || objects.u[offset] != 0x33 || offset + 9 > objects.table) continue;
        if (!seen.insert(offset).second) continue;
        out.replace(offset + 1, 8, bigEndianDouble(static_cast<double>(dates.since2001.size())));
        dates.since2001.push_back(doubleAt(objects.u + offset + 1));
    }
    return out;
}

// The written binary list with each stand-in date's seconds put back.
void restoreBinaryDates(std::string& bytes, const std::vector<double>& since2001) {
    const BinaryObjects objects(bytes);
    if (!objects.valid) return;
    std::set<std::uint64_t> done;
    for (std::uint64_t i = 0; i < objects.count; ++i) {
        std::uint64_t offset = 0;
        if (!objects.offsetOf(i, offset) || objects.u[offset] != 0x33 || offset + 9 > objects.table) continue;
        if (!done.insert(offset).second) continue;
        const double index = doubleAt(objects.u + offset + 1);
        if (index >= 0 && index < static_cast<double>(since2001.size()))
            bytes.replace(offset + 1, 8, bigEndianDouble(since2001[static_cast<std::size_t>(index)]));
    }
}

// The written XML list with each stand-in text turned into its date.
std::string restoreXmlDates(const std::string& xml, const WriteDates& dates) {
    const std::string open = "<string>" + dates.token;
    std::string out;
    out.reserve(xml.size());
    std::size_t i = 0;
    for (;;) {
        const std::size_t at = xml.find(open, i);
        const std::size_t close = at == std::string::npos ? at : xml.find("</string>", at);
        if (close == std::string::npos) break;
        const auto index = standInIndex(std::string_view(xml).substr(at + 8, close - at - 8), dates.token,
                                        dates.since2001.size());
        out.append(xml, i, at - i);
        if (index) out += "<date>" + xmlDate(dates.since2001[*index]) + "</date>";
        else out.append(xml, at, close + 9 - at);
        i = close + 9;
    }
    out.append(xml, i);
    return out;
}
}  // namespace

nlohmann::json plistDate(double secondsSince1970) {
    if (!std::isfinite(secondsSince1970)) return nullptr;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &secondsSince1970, sizeof bits);
    std::vector<std::uint8_t> bytes(8);
    for (int i = 7; i >= 0; --i, bits >>= 8) bytes[i] = static_cast<std::uint8_t>(bits & 0xFF);
    return nlohmann::json::binary(std::move(bytes), kPlistDateSubtype);
}

bool plistIsDate(const nlohmann::json& value) { return plistDateSeconds(value).has_value(); }

std::optional<double> plistDateSeconds(const nlohmann::json& value) {
    if (!value.is_binary()) return std::nullopt;
    const auto& b = value.get_binary();
    if (!b.has_subtype() || b.subtype() != kPlistDateSubtype || b.size() != 8) return std::nullopt;
    std::uint64_t bits = 0;
    for (auto byte : b) bits = (bits << 8) | byte;
    double seconds = 0;
    std::memcpy(&seconds, &bits, sizeof seconds);
    if (!std::isfinite(seconds)) return std::nullopt;
    return seconds;
}

std::optional<nlohmann::json> plistParse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > 0x7fffffff) return std::nullopt;
    plist_t root = nullptr;
    ReadDates dates;
    if (bytes.size() >= 8 && bytes.substr(0, 8) == "bplist00") {
        if (!binaryKeysHoldNoNul(bytes)) return std::nullopt;
        const std::string list = standInBinaryDates(bytes, dates);
        // Objects may overlap in a damaged list: a key must not take a NUL
        // from the stand-ins either.
        if (!dates.since2001.empty() && !binaryKeysHoldNoNul(list)) return std::nullopt;
        plist_from_bin(list.data(), static_cast<uint32_t>(list.size()), &root);
    } else {
        // XML forbids the NUL character, and libplist would keep it inside a
        // key, where it aborts on it: such a file is damaged.
        if (bytes.find('\0') != std::string_view::npos) return std::nullopt;
        const std::string list = standInXmlDates(bytes, dates);
        if (list.size() > 0x7fffffff) return std::nullopt;
        plist_from_xml(list.data(), static_cast<uint32_t>(list.size()), &root);
    }
    if (!root) return std::nullopt;
    auto out = toJson(root, 0, dates, "");
    plist_free(root);
    return out;
}

std::optional<nlohmann::json> plistReadFile(const std::string& path, ReadFailure* failure) {
    auto bytes = readFile(path, failure, kPlistReadLimit);
    if (!bytes) return std::nullopt;
    auto value = plistParse(*bytes);
    if (!value && failure) *failure = ReadFailure{false, bytes->empty() ? "it is empty" : "it is not a property list"};
    return value;
}

namespace {

// Writes `root` with one of the library's writers and lets it go.
template <typename Writer>
std::string serialise(plist_t root, Writer write) {
    char* bytes = nullptr;
    uint32_t len = 0;
    write(root, &bytes, &len);
    std::string out(bytes ? bytes : "", len);
    std::free(bytes);
    plist_free(root);
    return out;
}

}  // namespace

std::string plistToXml(const nlohmann::json& value) {
    // The stand-ins' text must be found in the output only where it stands
    // for a date: a list that holds it already takes another.
    for (unsigned n = 0;; ++n) {
        WriteDates dates;
        dates.token = "flashwren-date-" + std::to_string(n) + "-";
        const std::string out = serialise(fromJson(value, dates), plist_to_xml);
        std::size_t seen = 0;
        for (std::size_t at = out.find(dates.token); at != std::string::npos; at = out.find(dates.token, at + 1)) ++seen;
        if (seen == dates.since2001.size()) return dates.since2001.empty() ? out : restoreXmlDates(out, dates);
    }
}

std::string plistToBinary(const nlohmann::json& value) {
    WriteDates dates;
    dates.binary = true;
    std::string out = serialise(fromJson(value, dates), plist_to_bin);
    if (!dates.since2001.empty()) restoreBinaryDates(out, dates.since2001);
    return out;
}

}  // namespace base
