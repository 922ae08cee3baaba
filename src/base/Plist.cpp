#include "base/Plist.h"
#include <nlohmann/json.hpp>

#include <plist/plist.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "base/Files.h"

namespace base {

namespace {

// Seconds between 1970 and the property-list epoch (2001-01-01).
constexpr double kEpochOffset = 978307200.0;

// The microsecond parts of the binary list's dates within the second before
// 2001 (see toJson's dates).
using NegativeFractions = std::set<int32_t>;

nlohmann::json toJson(plist_t node, int depth, const NegativeFractions& negative) {
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
        // With its length: a string may hold NUL bytes, which the copying
        // reader would take for a damaged node and abort on.
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        return s ? std::string(s, length) : std::string();
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
        // The library hands out the seconds cut towards zero and the
        // microseconds without their sign (-1.25 s is -1 and 250000): before
        // 2001 the fraction counts back from the seconds. Within the last
        // second before 2001 the seconds are 0 and tell nothing; the list's
        // own bytes do.
        const double fraction = std::abs(usec) / 1e6;
        const bool before = sec < 0 || (sec == 0 && negative.count(std::abs(usec)));
        return plistDate(static_cast<double>(sec) + (before ? -fraction : fraction) + kEpochOffset);
    }
    case PLIST_ARRAY: {
        auto out = nlohmann::json::array();
        uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) out.push_back(toJson(plist_array_get_item(node, i), depth + 1, negative));
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
            out[key] = toJson(value, depth + 1, negative);
            std::free(key);
        }
        std::free(it);
        return out;
    }
    default:
        return nullptr;
    }
}

plist_t fromJson(const nlohmann::json& v) {
    switch (v.type()) {
    case nlohmann::json::value_t::boolean:
        return plist_new_bool(v.get<bool>() ? 1 : 0);
    case nlohmann::json::value_t::number_integer:
        return plist_new_uint(static_cast<uint64_t>(v.get<int64_t>()));
    case nlohmann::json::value_t::number_unsigned:
        return plist_new_uint(v.get<uint64_t>());
    case nlohmann::json::value_t::number_float: {
        double d = v.get<double>();
        return plist_new_real(std::isfinite(d) ? d : 0.0);
    }
    case nlohmann::json::value_t::string:
        return plist_new_string(v.get_ref<const std::string&>().c_str());
    case nlohmann::json::value_t::binary: {
        if (auto seconds = plistDateSeconds(v)) {
            double since2001 = std::clamp(*seconds - kEpochOffset, -2147483648.0, 2147483647.0);
            double whole = std::floor(since2001);
            auto usec = static_cast<int32_t>(std::lround((since2001 - whole) * 1e6));
            auto sec = static_cast<int32_t>(whole);
            if (usec >= 1000000) {
                usec = 0;
                if (sec < INT32_MAX) ++sec;
            }
            return plist_new_date(sec, usec);
        }
        auto& b = v.get_binary();
        return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
    }
    case nlohmann::json::value_t::array: {
        plist_t a = plist_new_array();
        for (auto& item : v) {
            if (item.is_null()) continue;  // property lists have no null
            plist_array_append_item(a, fromJson(item));
        }
        return a;
    }
    case nlohmann::json::value_t::object: {
        plist_t d = plist_new_dict();
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (it.value().is_null()) continue;
            plist_dict_set_item(d, it.key().c_str(), fromJson(it.value()));
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

// The microsecond parts (cut as libplist cuts them) of the dates that lie
// within the second before 2001: the one span where libplist's split of a
// date loses which side of 2001 it is on.
NegativeFractions negativeDateFractions(std::string_view bytes) {
    NegativeFractions out;
    const BinaryObjects objects(bytes);
    if (!objects.valid) return out;
    for (std::uint64_t i = 0; i < objects.count; ++i) {
        std::uint64_t offset = 0;
        if (!objects.offsetOf(i, offset) || objects.u[offset] != 0x33 || offset + 9 > objects.table) continue;
        const std::uint64_t bits = bigEndian(objects.u + offset + 1, 8);
        double seconds = 0;
        std::memcpy(&seconds, &bits, sizeof seconds);
        if (seconds > -1 && seconds < 0) out.insert(static_cast<int32_t>(std::fabs(seconds * 1e6)));
    }
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
    NegativeFractions negative;
    if (bytes.size() >= 8 && bytes.substr(0, 8) == "bplist00") {
        if (!binaryKeysHoldNoNul(bytes)) return std::nullopt;
        negative = negativeDateFractions(bytes);
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    } else {
        // XML forbids the NUL character, and libplist would keep it inside a
        // key, where it aborts on it: such a file is damaged.
        if (bytes.find('\0') != std::string_view::npos) return std::nullopt;
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    }
    if (!root) return std::nullopt;
    auto out = toJson(root, 0, negative);
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

std::string plistToXml(const nlohmann::json& value) {
    plist_t root = fromJson(value);
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(root, &xml, &len);
    std::string out(xml ? xml : "", len);
    std::free(xml);
    plist_free(root);
    return out;
}

std::string plistToBinary(const nlohmann::json& value) {
    plist_t root = fromJson(value);
    char* bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(root, &bin, &len);
    std::string out(bin ? bin : "", len);
    std::free(bin);
    plist_free(root);
    return out;
}

}  // namespace base
