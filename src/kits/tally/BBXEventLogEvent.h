#pragma once
// One stored analytics event and its line in a log file.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class BBXEventLogEvent {
public:
    BBXEventLogEvent(std::uint64_t priority, std::uint64_t timestamp, std::string key,
                     std::optional<std::string> payload = std::nullopt);
    virtual ~BBXEventLogEvent() = default;

    std::uint64_t priority() const { return priority_; }
    std::uint64_t timestamp() const { return timestamp_; }
    const std::string& key() const { return key_; }
    const std::optional<std::string>& payload() const { return payload_; }

    // The line: timestamp TAB key [TAB length TAB payload] LF. The payload
    // may hold tabs and line feeds since its byte length comes first.
    std::string eventData() const;
    void appendEventData(std::string& out) const;

    bool operator==(const BBXEventLogEvent& other) const;
    std::uint64_t hash() const;

private:
    std::uint64_t priority_;
    std::uint64_t timestamp_;
    std::string key_;
    std::optional<std::string> payload_;
};

// The line that heads every log file: key "metadata", the session metadata
// JSON as payload.
class BBXAnalyticsMetadataEvent : public BBXEventLogEvent {
public:
    BBXAnalyticsMetadataEvent(std::uint64_t priority, std::uint64_t timestamp,
                              std::optional<std::string> metadataJSONData);
    const std::optional<std::string>& metadataJSONData() const { return payload(); }
    static constexpr const char* kKey = "metadata";
};
