#include "kits/tally/BBXTallyEvent.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "kits/tally/TallyLog.h"
#include "kits/tally/TallyText.h"

using base::Json;

namespace {

std::string describe(const Json& value) {
    if (value.is_string()) return value.get_ref<const std::string&>();
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string dumpObject(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// The text form of a number, as a number's string value reads.
std::string numberText(const Json& n) {
    if (n.is_boolean()) return n.get<bool>() ? "1" : "0";
    if (n.is_number_unsigned()) return std::to_string(n.get<std::uint64_t>());
    if (n.is_number_integer()) return std::to_string(n.get<std::int64_t>());
    double d = n.get<double>();
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e15) return std::to_string(static_cast<long long>(d));
    return n.dump();
}

bool isNumber(const Json& v) { return v.is_number() || v.is_boolean(); }

}  // namespace

BBXTallyEvent::BBXTallyEvent(std::string key, Json metadata, const BBXTallyAttributes& customAttributes)
    : key_(std::move(key)),
      metadata_(metadata.is_object() ? std::move(metadata) : Json::object()),
      customAttributes_(filterCustomAttributes(customAttributes)) {}

std::string BBXTallyEvent::payloadJSON(const std::string& eventIdentifier) const {
    // The same members as payloadDictionary() plus "eventId", written
    // straight from the parts without copying them into one dictionary.
    auto encode = [](const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); };
    // Plain texts (printable ASCII without quotes or backslashes, as names,
    // types and identifiers are) are written as they are; others by the encoder.
    auto appendString = [&](std::string& out, const std::string& text) {
        bool plain = std::all_of(text.begin(), text.end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F && c != '"' &&
                   c != '\\';
        });
        if (!plain) {
            out += encode(Json(text));
            return;
        }
        out += '"';
        out += text;
        out += '"';
    };
    auto isPlain = [](const std::string& text) {
        return std::all_of(text.begin(), text.end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F && c != '"' &&
                   c != '\\';
        });
    };
    // Attribute dictionaries are flat: plain texts and whole numbers are
    // written by hand, anything else by the encoder, in the same key order.
    auto appendObject = [&](std::string& out, const Json& object) {
        bool simple = object.is_object();
        if (simple)
            for (auto it = object.begin(); it != object.end() && simple; ++it)
                simple = isPlain(it.key()) && ((it->is_string() && isPlain(it->get_ref<const std::string&>())) ||
                                               it->is_number_integer());
        if (!simple) {
            out += encode(object);
            return;
        }
        out += '{';
        bool first = true;
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!first) out += ',';
            first = false;
            out += '"';
            out += it.key();
            out += "\":";
            if (it->is_string()) {
                out += '"';
                out += it->get_ref<const std::string&>();
                out += '"';
            } else {
                char digits[24];
                auto res = it->is_number_unsigned()
                               ? std::to_chars(digits, digits + sizeof digits, it->get<std::uint64_t>())
                               : std::to_chars(digits, digits + sizeof digits, it->get<std::int64_t>());
                out.append(digits, res.ptr);
            }
        }
        out += '}';
    };
    std::string out;
    out.reserve(256);
    out += "{\"custom_attributes\":";
    appendObject(out, customAttributes_);
    for (auto it = metadata_.begin(); it != metadata_.end(); ++it) {
        const std::string& k = it.key();
        if (k == "custom_attributes" || k == "predefined_attributes" || k == "eventId") continue;
        out += ',';
        appendString(out, k);
        out += ':';
        if (it->is_string()) appendString(out, it->get_ref<const std::string&>());
        else out += encode(*it);
    }
    out += ",\"predefined_attributes\":";
    appendObject(out, predefinedAttributes_);
    out += ",\"eventId\":";
    appendString(out, eventIdentifier);
    out += '}';
    return out;
}

Json BBXTallyEvent::payloadDictionary() const {
    Json payload = metadata_;
    payload["predefined_attributes"] = predefinedAttributes_;
    payload["custom_attributes"] = customAttributes_;
    return payload;
}

std::string BBXTallyEvent::description() const { return "BBXTallyEvent { " + dumpObject(customAttributes_) + " }"; }

bool BBXTallyEvent::validAttributeValue(const Json& value) { return value.is_string() || isNumber(value); }

Json BBXTallyEvent::truncateAttribute(const Json& value) {
    if (!value.is_string()) return value;
    const auto& s = value.get_ref<const std::string&>();
    // Byte length bounds the UTF-16 length from above: short texts pass at once.
    if (s.size() <= kMaxAttributeLength || tally::utf16Length(s) <= kMaxAttributeLength) return value;
    tally::alwaysLog("Maximum length for an Event attributes exceeded. Truncating to {} characters.",
                     kMaxAttributeLength);
    return Json(std::string(tally::utf16Prefix(s, kMaxAttributeLength)));
}

void BBXTallyEvent::addAttribute(const Json& key, const Json& value, Json& dictionary) {
    if (key.is_null() || value.is_null()) return;
    if (!dictionary.is_object()) dictionary = Json::object();
    if (dictionary.size() >= kMaxAttributes) {
        tally::alwaysLog("Maximum number of Event attributes exceeded. Ignoring attribute");
        return;
    }
    if (!key.is_string()) {
        tally::alwaysLog("Event attribute keys must be of type NSString. Ignoring entry {}:{}", describe(key),
                         describe(value));
        return;
    }
    if (!validAttributeValue(value)) {
        tally::alwaysLog("Event attribute values must be of type NSString or NSNumber. Ignoring entry {}:{}",
                         describe(key), describe(value));
        return;
    }
    // Most keys and values are short: store them without the copies a cut needs.
    const auto& keyText = key.get_ref<const std::string&>();
    bool cutKey = keyText.size() > kMaxAttributeLength && tally::utf16Length(keyText) > kMaxAttributeLength;
    bool cutValue = value.is_string() && value.get_ref<const std::string&>().size() > kMaxAttributeLength;
    auto& slot = cutKey ? dictionary[truncateAttribute(key).get<std::string>()] : dictionary[keyText];
    slot = cutValue ? truncateAttribute(value) : value;
}

Json BBXTallyEvent::filterCustomAttributes(const BBXTallyAttributes& attributes) {
    Json out = Json::object();
    for (const auto& [k, v] : attributes) addAttribute(k, v, out);
    return out;
}

// --- custom ------------------------------------------------------------------

namespace {
Json oneMember(const char* key, std::string value) {
    Json object = Json::object();
    object.emplace(key, std::move(value));
    return object;
}
}  // namespace

BBXTallyCustomEvent::BBXTallyCustomEvent(const std::string& name, const BBXTallyAttributes& customAttributes)
    : BBXTallyEvent("custom", oneMember("custom_type", std::string(tally::utf16Prefix(name, kMaxAttributeLength))),
                    customAttributes) {}

std::shared_ptr<BBXTallyCustomEvent> BBXTallyCustomEvent::initWithName(const std::optional<std::string>& name,
                                                                       const BBXTallyAttributes& customAttributes) {
    if (!name) return nullptr;
    return std::shared_ptr<BBXTallyCustomEvent>(new BBXTallyCustomEvent(*name, customAttributes));
}

std::string BBXTallyCustomEvent::description() const {
    return "BBXTallyCustomEvent { " + dumpObject(customAttributes()) + " }";
}

// --- predefined --------------------------------------------------------------

BBXTallyPredefinedEvent::BBXTallyPredefinedEvent(const std::string& predefinedType,
                                                 const BBXTallyAttributes& customAttributes)
    : BBXTallyEvent("predefined", oneMember("predefined_type", predefinedType), customAttributes) {}

std::string BBXTallyPredefinedEvent::description() const {
    std::string type = "BBXTallyPredefinedEvent";
    if (auto it = metadata().find("predefined_type"); it != metadata().end() && it->is_string())
        type += "(" + it->get<std::string>() + ")";
    return type + " { " + dumpObject(predefinedAttributes_) + " customAttributes=" + dumpObject(customAttributes()) +
           "}";
}

void BBXTallyPredefinedEvent::addPredefinedString(const Json& value, const std::string& key) {
    if (value.is_string()) addPredefinedAttribute(value, key);
    else if (isNumber(value)) addPredefinedAttribute(Json(numberText(value)), key);
}

void BBXTallyPredefinedEvent::addPredefinedNumber(const Json& value, const std::string& key) {
    if (isNumber(value)) addPredefinedAttribute(value, key);
}

void BBXTallyPredefinedEvent::addPredefinedAttribute(const Json& value, const std::string& key) {
    addAttribute(Json(key), value, predefinedAttributes_);
}

Json BBXTallyPredefinedEvent::serializeSuccess(const Json& success) {
    if (!isNumber(success)) return nullptr;
    bool truth;
    if (success.is_boolean()) truth = success.get<bool>();
    else if (success.is_number_float()) truth = success.get<double>() != 0.0;
    else truth = success.get<std::int64_t>() != 0;
    return truth ? "true" : "false";
}

Json BBXTallyPredefinedEvent::serializePriceToMicros(const Json& price) {
    if (!price.is_number()) return nullptr;
    constexpr std::int64_t kMicros = 1000000;
    if (price.is_number_unsigned()) {
        auto v = price.get<std::uint64_t>();
        if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / kMicros))
            return static_cast<std::int64_t>(v) * kMicros;
        return static_cast<double>(v) * kMicros;
    }
    if (price.is_number_integer()) {
        auto v = price.get<std::int64_t>();
        if (v <= std::numeric_limits<std::int64_t>::max() / kMicros &&
            v >= std::numeric_limits<std::int64_t>::min() / kMicros)
            return v * kMicros;
        return static_cast<double>(v) * kMicros;
    }
    double d = price.get<double>();
    if (!std::isfinite(d)) return nullptr;
    // Rounded, not truncated: 9.99 is stored in binary as 9.98999..., and
    // must still become 9990000.
    double micros = std::round(d * kMicros);
    if (std::fabs(micros) < 9.2e18) return static_cast<std::int64_t>(micros);
    return micros;
}

Json BBXTallyPredefinedEvent::serializeNSNumberAsInteger(const Json& number) {
    if (!isNumber(number)) return nullptr;
    if (number.is_boolean()) return number.get<bool>() ? 1 : 0;
    if (number.is_number_unsigned()) return number.get<std::uint64_t>();
    if (number.is_number_integer()) return number.get<std::int64_t>();
    double d = number.get<double>();
    if (!std::isfinite(d)) return nullptr;
    d = std::trunc(d);
    if (std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
    return d;
}

// --- the twelve --------------------------------------------------------------

BBXTallySignUpEvent::BBXTallySignUpEvent(const BBXJ& method, const BBXJ& success, const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("sign_up", custom) {
    addPredefinedString(serializeSuccess(success), "success");
    addPredefinedString(method, "method");
}

BBXTallyLoginEvent::BBXTallyLoginEvent(const BBXJ& method, const BBXJ& success, const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("login", custom) {
    addPredefinedString(serializeSuccess(success), "success");
    addPredefinedString(method, "method");
}

BBXTallyShareEvent::BBXTallyShareEvent(const BBXJ& method, const BBXJ& contentName, const BBXJ& contentType,
                                       const BBXJ& contentId, const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("share", custom) {
    addPredefinedString(method, "method");
    addPredefinedString(contentName, "content_name");
    addPredefinedString(contentType, "content_type");
    addPredefinedString(contentId, "content_id");
}

BBXTallyInviteEvent::BBXTallyInviteEvent(const BBXJ& method, const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("invite", custom) {
    addPredefinedString(method, "method");
}

BBXTallyPurchaseEvent::BBXTallyPurchaseEvent(const BBXJ& price, const BBXJ& currency, const BBXJ& success,
                                             const BBXJ& itemName, const BBXJ& itemId, const BBXJ& itemType,
                                             const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("purchase", custom) {
    addPredefinedNumber(serializePriceToMicros(price), "item_price");
    addPredefinedString(currency, "currency");
    addPredefinedString(serializeSuccess(success), "success");
    addPredefinedString(itemName, "item_name");
    addPredefinedString(itemId, "item_id");
    addPredefinedString(itemType, "item_type");
}

BBXTallyLevelStartEvent::BBXTallyLevelStartEvent(const BBXJ& levelName, const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("level_start", custom) {
    addPredefinedString(levelName, "level_name");
}

BBXTallyLevelEndEvent::BBXTallyLevelEndEvent(const BBXJ& levelName, const BBXJ& score, const BBXJ& success,
                                             const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("level_end", custom) {
    addPredefinedString(levelName, "level_name");
    addPredefinedNumber(score, "score");
    addPredefinedString(serializeSuccess(success), "success");
}

BBXTallyAddToCartEvent::BBXTallyAddToCartEvent(const BBXJ& price, const BBXJ& currency, const BBXJ& itemName,
                                               const BBXJ& itemType, const BBXJ& itemId,
                                               const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("add_to_cart", custom) {
    addPredefinedNumber(serializePriceToMicros(price), "item_price");
    addPredefinedString(currency, "currency");
    addPredefinedString(itemName, "item_name");
    addPredefinedString(itemType, "item_type");
    addPredefinedString(itemId, "item_id");
}

BBXTallyStartCheckoutEvent::BBXTallyStartCheckoutEvent(const BBXJ& totalPrice, const BBXJ& currency,
                                                       const BBXJ& itemCount, const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("start_checkout", custom) {
    addPredefinedNumber(serializePriceToMicros(totalPrice), "total_price");
    addPredefinedString(currency, "currency");
    addPredefinedNumber(serializeNSNumberAsInteger(itemCount), "item_count");
}

BBXTallyRateEvent::BBXTallyRateEvent(const BBXJ& rating, const BBXJ& contentName, const BBXJ& contentType,
                                     const BBXJ& contentId, const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("rating", custom) {
    addPredefinedNumber(serializeNSNumberAsInteger(rating), "rating");
    addPredefinedString(contentName, "content_name");
    addPredefinedString(contentType, "content_type");
    addPredefinedString(contentId, "content_id");
}

BBXTallyContentViewEvent::BBXTallyContentViewEvent(const BBXJ& contentName, const BBXJ& contentType,
                                                   const BBXJ& contentId, const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("content_view", custom) {
    addPredefinedString(contentName, "content_name");
    addPredefinedString(contentType, "content_type");
    addPredefinedString(contentId, "content_id");
}

BBXTallySearchEvent::BBXTallySearchEvent(const BBXJ& query, const BBXTallyAttributes& custom)
    : BBXTallyPredefinedEvent("search", custom) {
    addPredefinedString(query, "query");
}
