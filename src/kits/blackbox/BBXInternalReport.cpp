#include "kits/blackbox/BBXInternalReport.h"

#include <unistd.h>

#include "base/Log.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXRecords.h"

namespace {

// The named record of the metadata. The writer puts identity, host and
// application first, in that order; looking them up by name also answers a
// file that was cut short or written in another order.
const nlohmann::json* metadataRecord(const std::vector<nlohmann::json>& sections, const char* name) {
    for (const auto& section : sections) {
        auto it = section.find(name);
        if (it != section.end() && it->is_object()) return &*it;
    }
    return nullptr;
}

std::optional<std::string> readIdentifier(const std::vector<nlohmann::json>& sections) {
    const nlohmann::json* identity = metadataRecord(sections, "identity");
    if (!identity) return std::nullopt;
    auto it = identity->find("session_id");
    if (it == identity->end() || !it->is_string() || it->get_ref<const std::string&>().empty()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

std::shared_ptr<BBXInternalReport> BBXInternalReport::initWithPath(const std::string& path,
                                                                   const std::string& executionIdentifier) {
    if (path.empty() || executionIdentifier.empty()) return nullptr;
    return std::make_shared<BBXInternalReport>(path, executionIdentifier);
}

std::shared_ptr<BBXInternalReport> BBXInternalReport::reportWithPath(const std::string& path) {
    if (path.empty()) return nullptr;
    auto sections = readMetadataAtPath(path + "/metadata.bbxrecord");
    std::optional<std::string> identifier = sections ? readIdentifier(*sections) : std::nullopt;
    if (!identifier) {
        spdlog::warn("[Blackbox:Crash] Unable to read identifier at path {}", path);
        std::string name = BBXLastPathComponent(path);
        static const std::string submitSuffix = "-submit";
        if (name.size() > submitSuffix.size() && name.ends_with(submitSuffix)) {
            name.resize(name.size() - submitSuffix.size());
        }
        if (name.empty() || name == "/") return nullptr;
        identifier = name;
    }
    auto report = initWithPath(path, *identifier);
    if (report && sections) {
        std::lock_guard lock(report->mutex_);
        report->sections_ = std::move(sections);
    }
    return report;
}

BBXInternalReport::BBXInternalReport(std::string path, std::string identifier)
    : path_(std::move(path)), identifier_(std::move(identifier)) {}

std::optional<std::vector<nlohmann::json>> BBXInternalReport::readMetadataAtPath(const std::string& path) {
    if (::access(path.c_str(), F_OK) != 0) return std::nullopt;
    auto sections = BBXFileReadSections(path, false);
    if (!sections || sections->empty()) return std::nullopt;
    return sections;
}

std::vector<nlohmann::json> BBXInternalReport::metadataSections() {
    std::lock_guard lock(mutex_);
    if (!sections_) sections_ = readMetadataAtPath(path_ + "/metadata.bbxrecord").value_or(std::vector<nlohmann::json>{});
    return *sections_;
}

std::string BBXInternalReport::path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

void BBXInternalReport::setPath(std::string path) {
    std::lock_guard lock(mutex_);
    path_ = std::move(path);
}

std::string BBXInternalReport::directoryName() const { return BBXLastPathComponent(path()); }
std::string BBXInternalReport::pathForContentFile(const std::string& name) const { return path() + "/" + name; }

const std::vector<std::string>& BBXInternalReport::crashFilenames() {
    static const std::vector<std::string> names = {"exception.bbxrecord", "mach_exception.bbxrecord",
                                                   "signal.bbxrecord"};
    return names;
}

bool BBXInternalReport::checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& names) const {
    for (const auto& name : names) {
        if (::access(pathForContentFile(name).c_str(), F_OK) == 0) return true;
    }
    return false;
}

bool BBXInternalReport::isCrash() const { return checkExistenceOfAtLeastOnceFileInArray(crashFilenames()); }

bool BBXInternalReport::needsToBeSubmitted() const {
    static const std::vector<std::string> names = {
        "custom_exception_a.bbxrecord", "custon_exception_b.bbxrecord", "exception.bbxrecord", "signal.bbxrecord",
        "mach_exception.bbxrecord",     "errors_a.bbxrecord",           "errors_b.bbxrecord"};
    return checkExistenceOfAtLeastOnceFileInArray(names);
}

void BBXInternalReport::enumerateSymbolicatableFilesInContent(const std::function<void(const std::string&)>& block) const {
    for (const auto& name : crashFilenames()) block(pathForContentFile(name));
}

std::optional<std::string> BBXInternalReport::metadataString(const char* section, const char* key) {
    auto sections = metadataSections();
    const nlohmann::json* record = metadataRecord(sections, section);
    if (!record) return std::nullopt;
    auto it = record->find(key);
    if (it == record->end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<std::string> BBXInternalReport::APIKey() { return metadataString("identity", "api_key"); }
std::optional<std::string> BBXInternalReport::bundleVersion() { return metadataString("application", "build_version"); }
std::optional<std::string> BBXInternalReport::bundleShortVersionString() {
    return metadataString("application", "display_version");
}
std::optional<std::string> BBXInternalReport::OSVersion() { return metadataString("host", "os_display_version"); }
std::optional<std::string> BBXInternalReport::OSBuildVersion() { return metadataString("host", "os_build_version"); }

std::optional<std::chrono::system_clock::time_point> BBXInternalReport::dateCreated() {
    auto sections = metadataSections();
    const nlohmann::json* identity = metadataRecord(sections, "identity");
    if (!identity) return std::nullopt;
    auto it = identity->find("started_at");
    if (it == identity->end() || !it->is_number_unsigned()) return std::nullopt;
    // The clock counts nanoseconds in 64 bits: later than that is a damaged
    // file, and converting it would overflow.
    constexpr std::uint64_t kLatest = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::duration::max()).count());
    if (it->get<std::uint64_t>() > kLatest) return std::nullopt;
    return std::chrono::system_clock::time_point(std::chrono::seconds(it->get<std::uint64_t>()));
}
