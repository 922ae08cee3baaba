#include "base/Plist.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>

#include "base/Files.h"

namespace base {

namespace {

// Seconds between 1970 and the property-list epoch (2001-01-01).
constexpr double kEpochOffset = 978307200.0;

nlohmann::json toJson(plist_t node, int depth) {
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
        char* s = nullptr;
        plist_get_string_val(node, &s);
        nlohmann::json out = s ? std::string(s) : std::string();
        std::free(s);
        return out;
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
        return static_cast<double>(sec) + usec / 1e6 + kEpochOffset;
    }
    case PLIST_ARRAY: {
        auto out = nlohmann::json::array();
        uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) out.push_back(toJson(plist_array_get_item(node, i), depth + 1));
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
            out[key] = toJson(value, depth + 1);
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

}  // namespace

std::optional<nlohmann::json> plistParse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > 0x7fffffff) return std::nullopt;
    plist_t root = nullptr;
    if (bytes.size() >= 8 && bytes.substr(0, 8) == "bplist00") {
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    } else {
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    }
    if (!root) return std::nullopt;
    auto out = toJson(root, 0);
    plist_free(root);
    return out;
}

std::optional<nlohmann::json> plistReadFile(const std::string& path) {
    auto bytes = readFile(path);
    if (!bytes) return std::nullopt;
    return plistParse(*bytes);
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
