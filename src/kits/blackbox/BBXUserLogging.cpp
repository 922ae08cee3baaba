#include "kits/blackbox/BBXUserLogging.h"

#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "base/Files.h"
#include "kits/blackbox/BBXBinaryImages.h"
#include "kits/blackbox/BBXContextSetup.h"
#include "kits/blackbox/BBXRecords.h"

namespace {

const char* path(const char* directory, const char* name) { return BBXContextPathForFile(directory, name); }

std::string describe(const nlohmann::json& value) {
    if (value.is_string()) return value.get_ref<const std::string&>();
    return value.dump();
}

void writeDictionary(BBXFile* file, const char* key, const nlohmann::json& dictionary) {
    if (!dictionary.is_object() || dictionary.empty()) return;
    BBXFileWriteHashKey(file, key);
    BBXFileWriteArrayStart(file);
    for (auto it = dictionary.begin(); it != dictionary.end(); ++it) {
        std::string value = describe(it.value());
        BBXFileWriteArrayStart(file);
        BBXFileWriteArrayEntryHexEncodedString(file, it.key().data(), it.key().size());
        BBXFileWriteArrayEntryHexEncodedString(file, value.data(), value.size());
        BBXFileWriteArrayEnd(file);
    }
    BBXFileWriteArrayEnd(file);
}

std::optional<nlohmann::json> kvOf(const nlohmann::json& section) {
    auto it = section.find("kv");
    if (it == section.end() || !it->is_object()) return std::nullopt;
    return *it;
}

}  // namespace

void BBXUserLoggingSetupStores(const BBXContextInitData* input) {
    BBXContext* c = bbxContext;
    BBXWritableContext* w = bbxWritableContext;
    if (!c || !w || !input || !input->reportPath) return;
    const char* dir = input->reportPath;
    c->userKVStore = {path(dir, "user_incremental_kv.bbxrecord"), path(dir, "user_compacted_kv.bbxrecord"), 64,
                      input->maxCustomKeys};
    c->internalKVStore = {path(dir, "internal_incremental_kv.bbxrecord"), path(dir, "internal_compacted_kv.bbxrecord"),
                          64, 32};
    c->logStore = {path(dir, "log_a.bbxrecord"), path(dir, "log_b.bbxrecord"), input->logBufferSize, 0, 1, nullptr};
    c->errorsStore = {path(dir, "errors_a.bbxrecord"), path(dir, "errors_b.bbxrecord"), 0,
                      input->errorReportingEnabled ? input->maxCustomExceptions : 0, 0, &w->logging.errorsCount};
    // The second name is spelt as the stored files have always been named.
    c->customExceptionsStore = {path(dir, "custom_exception_a.bbxrecord"), path(dir, "custon_exception_b.bbxrecord"), 0,
                                input->customExceptionsEnabled ? input->maxCustomExceptions : 0, 0,
                                &w->logging.customExceptionsCount};
}

void BBXUserLoggingInitializeStorage() {
    BBXContext* c = bbxContext;
    BBXWritableContext* w = bbxWritableContext;
    if (!c || !w) return;
    w->logging.logCurrent = c->logStore.aPath;
    w->logging.errorsCurrent = c->errorsStore.aPath;
    w->logging.customExceptionsCurrent = c->customExceptionsStore.aPath;
    w->logging.userKVCount = 0;
    w->logging.internalKVCount = 0;
    w->logging.errorsCount = 0;
    // Exception set-up clears it too, on another of the set-up group's threads.
    __atomic_store_n(&w->logging.customExceptionsCount, 0, __ATOMIC_RELAXED);
    c->userKVStore.compactionTrigger = 64;
    c->internalKVStore.compactionTrigger = 64;
    c->logStartTime = BBXAbsoluteTime();
    // The clock counts nanoseconds already.
    c->timebaseNumer = 1;
    c->timebaseDenom = 1;
}

void BBXUserLoggingRecordUserKeyValue(const std::string& key, const std::optional<std::string>& value) {
    if (!BBXContextIsInitialized()) return;
    BBXUserLoggingRecordKeyValue(key, value, &bbxContext->userKVStore, &bbxWritableContext->logging.userKVCount);
}

void BBXUserLoggingRecordInternalKeyValue(const std::string& key, const std::optional<std::string>& value) {
    if (!BBXContextIsInitialized()) return;
    BBXUserLoggingRecordKeyValue(key, value, &bbxContext->internalKVStore,
                                 &bbxWritableContext->logging.internalKVCount);
}

void BBXUserLoggingRecordKeyValue(const std::string& key, const std::optional<std::string>& value,
                                  const BBXKVStore* store, std::uint32_t* counter) {
    if (!BBXContextIsInitialized()) return;
    BBXLoggingQueue().sync([&] { BBXUserLoggingWriteKeyValue(key, value, store, counter); });
}

void BBXUserLoggingWriteInternalKeyValue(const std::string& key, const std::optional<std::string>& value) {
    if (!bbxContext || !bbxWritableContext) return;
    BBXUserLoggingWriteKeyValue(key, value, &bbxContext->internalKVStore, &bbxWritableContext->logging.internalKVCount);
}

void BBXUserLoggingWriteKeyValue(const std::string& key, const std::optional<std::string>& value,
                                 const BBXKVStore* store, std::uint32_t* counter) {
    if (!store || !counter) {
        BBXSDKLog("%s: Bad parameters\n", __func__);
        return;
    }
    BBXFile file;
    if (!BBXFileInitWithPath(&file, store->incrementalPath, true)) {
        BBXSDKLog("%s: Unable to open k-v file\n", __func__);
        return;
    }
    BBXFileWriteSectionStart(&file, "kv");
    BBXFileWriteHashStart(&file);
    BBXFileWriteHashEntryHexEncodedString(&file, "key", key.data(), key.size());
    BBXFileWriteHashEntryHexEncodedString(&file, "value", value ? value->data() : nullptr, value ? value->size() : 0);
    BBXFileWriteHashEnd(&file);
    BBXFileWriteSectionEnd(&file);
    BBXFileClose(&file);
    *counter += 1;
    if (*counter >= store->compactionTrigger) {
        BBXLoggingQueue().post([store, counter] {
            BBXUserLoggingCompactKVEntries(store);
            *counter = 0;
        });
    }
}

void BBXUserLoggingCompactKVEntries(const BBXKVStore* store) {
    if (!store) {
        BBXSDKLog("%s: Error: storage invalid\n", __func__);
        return;
    }
    // Keys in the order they were last set, so truncation drops the oldest.
    std::vector<std::pair<std::string, std::string>> entries;
    auto apply = [&](const nlohmann::json& kv) {
        auto key = kv.find("key");
        if (key == kv.end() || !key->is_string()) return;
        const std::string& k = key->get_ref<const std::string&>();
        auto existing = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == k; });
        if (existing != entries.end()) entries.erase(existing);
        auto value = kv.find("value");
        if (value != kv.end() && value->is_string()) entries.emplace_back(k, value->get_ref<const std::string&>());
    };
    if (auto compacted = BBXFileReadSections(store->compactedPath, true, kvOf))
        for (const auto& kv : *compacted) apply(kv);
    if (auto incremental = BBXFileReadSections(store->incrementalPath, true, kvOf))
        for (const auto& kv : *incremental) apply(kv);

    if (entries.size() > store->maxEntries) {
        BBXSDKLog("%s: Truncating KV set, which is above max %d\n", __func__, static_cast<int>(store->maxEntries));
        if (store->maxEntries == 0)
            BBXSDKLog("%s: Error: Computed a bad count of keys to remove\n", __func__);
        else
            entries.erase(entries.begin(), entries.begin() + static_cast<long>(entries.size() - store->maxEntries));
    }

    // Written beside the compacted file and renamed over it, so a crash
    // during compaction loses no key.
    std::string temporary = std::string(store->compactedPath) + ".tmp";
    BBXFile file;
    if (!BBXFileInitWithPathMode(&file, temporary.c_str(), false, true)) {
        BBXSDKLog("%s: Error: Unable to open compacted k-v file\n", __func__);
        return;
    }
    for (const auto& [key, value] : entries) {
        BBXFileWriteSectionStart(&file, "kv");
        BBXFileWriteHashStart(&file);
        BBXFileWriteHashEntryNSString(&file, "key", key.data(), key.size());
        BBXFileWriteHashEntryNSString(&file, "value", value.data(), value.size());
        BBXFileWriteHashEnd(&file);
        BBXFileWriteSectionEnd(&file);
    }
    bool written = BBXFileFlush(&file);
    ::fsync(file.fd);
    BBXFileClose(&file);
    if (!written || ::rename(temporary.c_str(), store->compactedPath) != 0) {
        BBXSDKLog("%s: Error: Unable to remove compacted KV store before compaction %s\n", __func__, store->compactedPath);
        ::unlink(temporary.c_str());
        return;
    }
    if (!BBXUnlinkIfExists(store->incrementalPath))
        BBXSDKLog("%s: Error: Unable to remove incremental KV store after compaction %s\n", __func__,
                  store->incrementalPath);
}

void BBXUserLoggingWriteAndCheckABFiles(const BBXABStore* store, const char** currentFile, const BBXRecordWriter& writer) {
    if (!store || !currentFile || !*currentFile || !writer) return;
    if ((store->limitedBySize ? store->maxSize : store->maxEntries) == 0) return;
    BBXLoggingQueue().sync([&] {
        BBXFile file;
        if (!BBXFileInitWithPath(&file, *currentFile, true)) {
            BBXSDKLog("%s: Unable to open log file\n", __func__);
            return;
        }
        writer(&file);
        std::uint64_t size = 0;
        BBXFileCloseWithOffset(&file, &size);
        if (!store->limitedBySize && store->counter) *store->counter += 1;
        BBXLoggingQueue().post([store, currentFile, size] { BBXUserLoggingCheckAndSwapABFiles(store, currentFile, size); });
    });
}

void BBXUserLoggingCheckAndSwapABFiles(const BBXABStore* store, const char** currentFile, std::uint64_t size) {
    if (!store || !currentFile) return;
    if (store->limitedBySize) {
        if (size <= store->maxSize) return;
    } else {
        if (!store->counter) {
            BBXSDKLog("%s: Error: storage has invalid pointer, but is restricted by entry count\n", __func__);
            return;
        }
        if (*store->counter < store->maxEntries) return;
        *store->counter = 0;
    }
    const char* other = BBXStringEquals(*currentFile, store->aPath) ? store->bPath : store->aPath;
    if (other && *other) BBXUnlinkIfExists(other);
    *currentFile = other;
}

void BBXUserLoggingRecordLogMessage(const std::string& message) {
    if (!BBXContextIsInitialized()) return;
    BBXContext* c = bbxContext;
    std::uint64_t elapsed = BBXAbsoluteTime() - c->logStartTime;
    std::uint64_t ms = c->timebaseDenom ? elapsed * c->timebaseNumer / c->timebaseDenom / 1000000 : 0;
    BBXUserLoggingWriteAndCheckABFiles(&c->logStore, &bbxWritableContext->logging.logCurrent, [&](BBXFile* file) {
        BBXFileWriteSectionStart(file, "log");
        BBXFileWriteHashStart(file);
        BBXFileWriteHashEntryHexEncodedString(file, "msg", message.data(), message.size());
        BBXFileWriteHashEntryUint64(file, "time", ms);
        BBXFileWriteHashEnd(file);
        BBXFileWriteSectionEnd(file);
    });
}

void BBXUserLoggingRecordError(const base::Error& error, const nlohmann::json& additionalInfo) {
    if (!BBXContextIsInitialized()) return;
    // Libraries opened since the last loader call, so their frames can be named.
    BBXBinaryImageRescan();
    void* frames[128];
    int count = ::backtrace(frames, 128);
    std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
    BBXContext* c = bbxContext;
    BBXUserLoggingWriteAndCheckABFiles(&c->errorsStore, &bbxWritableContext->logging.errorsCurrent, [&](BBXFile* file) {
        BBXFileWriteSectionStart(file, "error");
        BBXFileWriteHashStart(file);
        BBXFileWriteHashEntryHexEncodedString(file, "domain", error.domain.data(), error.domain.size());
        BBXFileWriteHashEntryInt64(file, "code", error.code);
        BBXFileWriteHashEntryUint64(file, "time", now);
        BBXFileWriteHashKey(file, "stacktrace");
        BBXFileWriteArrayStart(file);
        for (int i = 0; i < count; ++i) BBXFileWriteArrayEntryUint64(file, reinterpret_cast<std::uint64_t>(frames[i]));
        BBXFileWriteArrayEnd(file);
        writeDictionary(file, "info", error.userInfo);
        writeDictionary(file, "extra_info", additionalInfo);
        BBXFileWriteHashEnd(file);
        BBXFileWriteSectionEnd(file);
    });
}
