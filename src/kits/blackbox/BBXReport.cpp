#include "kits/blackbox/BBXReport.h"

#include "kits/blackbox/BBXContextSetup.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXUserLogging.h"

BBXReport::BBXReport(std::shared_ptr<BBXInternalReport> internalReport) : report_(std::move(internalReport)) {}

std::string BBXReport::identifier() const { return report_->identifier(); }
std::optional<std::string> BBXReport::bundleVersion() const { return report_->bundleVersion(); }
std::optional<std::string> BBXReport::bundleShortVersionString() const { return report_->bundleShortVersionString(); }
std::optional<std::chrono::system_clock::time_point> BBXReport::dateCreated() const { return report_->dateCreated(); }
std::optional<std::string> BBXReport::OSVersion() const { return report_->OSVersion(); }
std::optional<std::string> BBXReport::OSBuildVersion() const { return report_->OSBuildVersion(); }
bool BBXReport::isCrash() const { return report_->isCrash(); }

void BBXReport::setObjectValue(const std::optional<std::string>& value, const std::string& key) { recordValue(value, key); }
void BBXReport::setUserIdentifier(const std::optional<std::string>& value) {
    recordInternalValue(value, "io.blackbox.user-id");
}
void BBXReport::setUserName(const std::optional<std::string>& value) {
    recordInternalValue(value, "io.blackbox.user-name");
}
void BBXReport::setUserEmail(const std::optional<std::string>& value) {
    recordInternalValue(value, "io.blackbox.user-email");
}

void BBXReport::recordValue(const std::optional<std::string>& value, const std::string& userKey) {
    if (!BBXContextIsInitialized()) return;
    const std::string incremental = report_->pathForContentFile("user_incremental_kv.bbxrecord");
    const std::string compacted = report_->pathForContentFile("user_compacted_kv.bbxrecord");
    const BBXKVStore store{incremental.c_str(), compacted.c_str(), bbxContext->userKVStore.compactionTrigger,
                           bbxContext->userKVStore.maxEntries};
    BBXUserLoggingRecordKeyValue(userKey, value, &store, &userKVCounter_);
}

void BBXReport::recordInternalValue(const std::optional<std::string>& value, const std::string& internalKey) {
    if (!BBXContextIsInitialized()) return;
    const std::string incremental = report_->pathForContentFile("internal_incremental_kv.bbxrecord");
    const std::string compacted = report_->pathForContentFile("internal_compacted_kv.bbxrecord");
    const BBXKVStore store{incremental.c_str(), compacted.c_str(), bbxContext->internalKVStore.compactionTrigger,
                           bbxContext->internalKVStore.maxEntries};
    BBXUserLoggingRecordKeyValue(internalKey, value, &store, &internalKVCounter_);
}
