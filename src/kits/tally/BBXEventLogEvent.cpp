#include "kits/tally/BBXEventLogEvent.h"

#include <charconv>
#include <functional>

BBXEventLogEvent::BBXEventLogEvent(std::uint64_t priority, std::uint64_t timestamp, std::string key,
                                   std::optional<std::string> payload)
    : priority_(priority), timestamp_(timestamp), key_(std::move(key)), payload_(std::move(payload)) {}

namespace {
void appendDecimal(std::string& out, std::uint64_t value, bool asSigned) {
    char buffer[24];
    auto res = asSigned ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value))
                        : std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, res.ptr);
}
}  // namespace

void BBXEventLogEvent::appendEventData(std::string& out) const {
    appendDecimal(out, timestamp_, true);
    out.push_back('\t');
    out.append(key_);
    if (payload_) {
        out.push_back('\t');
        appendDecimal(out, payload_->size(), false);
        out.push_back('\t');
        out.append(*payload_);
    }
    out.push_back('\n');
}

std::string BBXEventLogEvent::eventData() const {
    std::string out;
    out.reserve(key_.size() + (payload_ ? payload_->size() : 0) + 40);
    appendEventData(out);
    return out;
}

bool BBXEventLogEvent::operator==(const BBXEventLogEvent& other) const {
    return priority_ == other.priority_ && timestamp_ == other.timestamp_ && key_ == other.key_ &&
           payload_ == other.payload_;
}

std::uint64_t BBXEventLogEvent::hash() const {
    std::uint64_t payloadHash = payload_ ? std::hash<std::string>{}(*payload_) : 0;
    return priority_ + 2 * timestamp_ + 4 * static_cast<std::uint64_t>(std::hash<std::string>{}(key_)) +
           8 * payloadHash;
}

BBXAnalyticsMetadataEvent::BBXAnalyticsMetadataEvent(std::uint64_t priority, std::uint64_t timestamp,
                                                     std::optional<std::string> metadataJSONData)
    : BBXEventLogEvent(priority, timestamp, kKey, std::move(metadataJSONData)) {}
