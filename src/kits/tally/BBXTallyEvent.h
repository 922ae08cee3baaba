#pragma once
// The application's usage events: custom events and the twelve predefined
// ones, each turned into a key and validated attribute dictionaries.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Json.h"

// Attributes as the application hands them over, in its own order (which
// decides what is dropped once the dictionary is full). Keys must be
// strings and values strings or numbers; anything else is dropped.
using BBXTallyAttributes = std::vector<std::pair<base::Json, base::Json>>;

class BBXTallyEvent {
public:
    static constexpr std::size_t kMaxAttributes = 21;
    static constexpr std::size_t kMaxAttributeLength = 100;

    BBXTallyEvent(std::string key, base::Json metadata, const BBXTallyAttributes& customAttributes);
    virtual ~BBXTallyEvent() = default;

    const std::string& key() const { return key_; }
    const base::Json& customAttributes() const { return customAttributes_; }
    const base::Json& predefinedAttributes() const { return predefinedAttributes_; }
    const base::Json& metadata() const { return metadata_; }
    // The metadata plus "predefined_attributes" and "custom_attributes".
    base::Json payloadDictionary() const;
    // The stored JSON of payloadDictionary() plus "eventId".
    std::string payloadJSON(const std::string& eventIdentifier) const;
    virtual std::string description() const;

    // Validates one attribute into `dictionary` (see the kit's rules: at most
    // 21 entries, string keys, string or number values, texts cut to 100
    // UTF-16 units on a character boundary).
    static void addAttribute(const base::Json& key, const base::Json& value, base::Json& dictionary);
    static base::Json truncateAttribute(const base::Json& value);
    static base::Json filterCustomAttributes(const BBXTallyAttributes& attributes);
    static bool validAttributeValue(const base::Json& value);

protected:
    base::Json predefinedAttributes_ = base::Json::object();

private:
    std::string key_;
    base::Json metadata_;
    base::Json customAttributes_;
};

class BBXTallyCustomEvent : public BBXTallyEvent {
public:
    // No name gives no event.
    static std::shared_ptr<BBXTallyCustomEvent> initWithName(const std::optional<std::string>& name,
                                                             const BBXTallyAttributes& customAttributes = {});
    std::string description() const override;

private:
    BBXTallyCustomEvent(const std::string& name, const BBXTallyAttributes& customAttributes);
};

class BBXTallyPredefinedEvent : public BBXTallyEvent {
public:
    BBXTallyPredefinedEvent(const std::string& predefinedType, const BBXTallyAttributes& customAttributes);
    std::string description() const override;

    // A string as is; a number as its text; anything else skipped.
    void addPredefinedString(const base::Json& value, const std::string& key);
    // Numbers only.
    void addPredefinedNumber(const base::Json& value, const std::string& key);
    void addPredefinedAttribute(const base::Json& value, const std::string& key);

    // "true"/"false" from a number's truth; null for null.
    static base::Json serializeSuccess(const base::Json& success);
    // Price times one million, rounded to the nearest micro; null for null.
    static base::Json serializePriceToMicros(const base::Json& price);
    // The integer part of a number; null for null.
    static base::Json serializeNSNumberAsInteger(const base::Json& number);
};

// Arguments below follow the Tally operations: strings (or numbers, stored as
// text) and numbers as JSON values, null for "none".
using BBXJ = base::Json;

class BBXTallySignUpEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallySignUpEvent(const BBXJ& method, const BBXJ& success, const BBXTallyAttributes& custom = {});
};
class BBXTallyLoginEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyLoginEvent(const BBXJ& method, const BBXJ& success, const BBXTallyAttributes& custom = {});
};
class BBXTallyShareEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyShareEvent(const BBXJ& method, const BBXJ& contentName, const BBXJ& contentType, const BBXJ& contentId,
                       const BBXTallyAttributes& custom = {});
};
class BBXTallyInviteEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyInviteEvent(const BBXJ& method, const BBXTallyAttributes& custom = {});
};
class BBXTallyPurchaseEvent : public BBXTallyPredefinedEvent {
public:
    // The item identifier comes before the item type here.
    BBXTallyPurchaseEvent(const BBXJ& price, const BBXJ& currency, const BBXJ& success, const BBXJ& itemName,
                          const BBXJ& itemId, const BBXJ& itemType, const BBXTallyAttributes& custom = {});
};
class BBXTallyLevelStartEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyLevelStartEvent(const BBXJ& levelName, const BBXTallyAttributes& custom = {});
};
class BBXTallyLevelEndEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyLevelEndEvent(const BBXJ& levelName, const BBXJ& score, const BBXJ& success,
                          const BBXTallyAttributes& custom = {});
};
class BBXTallyAddToCartEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyAddToCartEvent(const BBXJ& price, const BBXJ& currency, const BBXJ& itemName, const BBXJ& itemType,
                           const BBXJ& itemId, const BBXTallyAttributes& custom = {});
};
class BBXTallyStartCheckoutEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyStartCheckoutEvent(const BBXJ& totalPrice, const BBXJ& currency, const BBXJ& itemCount,
                               const BBXTallyAttributes& custom = {});
};
class BBXTallyRateEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyRateEvent(const BBXJ& rating, const BBXJ& contentName, const BBXJ& contentType, const BBXJ& contentId,
                      const BBXTallyAttributes& custom = {});
};
class BBXTallyContentViewEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallyContentViewEvent(const BBXJ& contentName, const BBXJ& contentType, const BBXJ& contentId,
                             const BBXTallyAttributes& custom = {});
};
class BBXTallySearchEvent : public BBXTallyPredefinedEvent {
public:
    BBXTallySearchEvent(const BBXJ& query, const BBXTallyAttributes& custom = {});
};
