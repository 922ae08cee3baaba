#include "kits/blackbox/BBXContextSetup.h"

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>

#include "base/AppInfo.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "kits/blackbox/BBXHost.h"
#include "kits/blackbox/BBXBinaryImages.h"
#include "kits/blackbox/BBXCaptureSetup.h"
#include "kits/blackbox/BBXUserLogging.h"
#include "kits/blackbox/crashtime/BBXProcess.h"

namespace {

// A dispatch group on the shared pool: work is counted in and out, and a
// completion runs once when the count falls to zero after `seal`.
class SetupGroup : public std::enable_shared_from_this<SetupGroup> {
public:
    explicit SetupGroup(std::function<void()> completion) : completion_(std::move(completion)) {}

    void async(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            ++pending_;
        }
        auto self = shared_from_this();
        base::ThreadPool::shared().post([self, task = std::move(task)] {
            task();
            self->leave();
        });
    }

    // No more work will be added; the completion runs when all is done.
    void seal() {
        std::unique_lock lock(mutex_);
        sealed_ = true;
        maybeComplete(lock);
    }

    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return completed_; });
    }

private:
    void leave() {
        std::unique_lock lock(mutex_);
        --pending_;
        maybeComplete(lock);
    }

    void maybeComplete(std::unique_lock<std::mutex>& lock) {
        if (!sealed_ || pending_ != 0 || completed_) return;
        lock.unlock();
        completion_();
        lock.lock();
        completed_ = true;
        cv_.notify_all();
    }

    std::function<void()> completion_;
    std::mutex mutex_;
    std::condition_variable cv_;
    int pending_ = 0;
    bool sealed_ = false;
    bool completed_ = false;
};

void setupMetadata(const BBXContextInitData* input) {
    BBXContextRecordMetadata(input->reportPath, input);
}

}  // namespace

base::SerialQueue& BBXLoggingQueue() {
    static auto* queue = new base::SerialQueue("io.blackbox.mac.logging");
    return *queue;
}

base::SerialQueue& BBXBinaryImagesQueue() {
    static auto* queue = new base::SerialQueue("io.blackbox.mac.binary-images");
    return *queue;
}

base::SerialQueue& BBXExceptionQueue() {
    static auto* queue = new base::SerialQueue("io.blackbox.mac.exception");
    return *queue;
}

void BBXDispatchAfter(base::Executor* executor, std::function<void()> task, float seconds) {
    auto delay = std::chrono::nanoseconds(static_cast<long long>(static_cast<double>(seconds) * 1e9));
    base::Scheduler::shared().after(std::chrono::duration_cast<base::Duration>(delay), executor, std::move(task));
}

bool BBXDladdrLookup(const void* address, const std::function<void(const char*, const char*)>& block) {
    Dl_info info{};
    if (!::dladdr(address, &info)) {
        if (block) block(nullptr, nullptr);
        return false;
    }
    if (block) block(info.dli_sname ? info.dli_sname : "unknown", info.dli_fname ? info.dli_fname : "unknown");
    return true;
}

// The crash path reads the executors' label table as its own plain slots.
static_assert(sizeof(base::QueueLabelSlot) == sizeof(BBXQueueLabelSlot) &&
              offsetof(base::QueueLabelSlot, label) == offsetof(BBXQueueLabelSlot, label));
static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t) &&
              sizeof(std::atomic<const char*>) == sizeof(std::uint64_t));
static_assert(std::atomic<std::int32_t>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free);

void BBXContextInitialize(const BBXContextInitData* input) {
    BBXProcessSetQueueLabels(reinterpret_cast<const BBXQueueLabelSlot*>(base::queueLabelSlots()),
                             static_cast<std::uint32_t>(base::kQueueLabelSlotCount));
    if (!input || !input->reportPath) return;
    // Once per process: the handlers and the protected region stay for good.
    if (__atomic_load_n(&bbxContext, __ATOMIC_ACQUIRE)) return;
    // 1. The queues.
    BBXLoggingQueue();
    BBXBinaryImagesQueue();
    BBXExceptionQueue();

    // 2. The protected region and what lives in it.
    bbxAllocator = BBXAllocatorCreate(BBXContextWritableSize(), BBXContextReadOnlySize());
    auto* context = static_cast<BBXContext*>(BBXAllocatorSafeAllocate(bbxAllocator, sizeof(BBXContext), BBXAllocationReadOnly));
    if (!context) return;
    BBXMemoryZero(context, sizeof(BBXContext));
    context->machStack = BBXAllocatorSafeAllocate(bbxAllocator, BBXSignalStackSize, BBXAllocationWritable);
    context->signalStack = BBXAllocatorSafeAllocate(bbxAllocator, BBXSignalStackSize, BBXAllocationWritable);
    if (context->machStack) BBXMemoryZero(context->machStack, BBXSignalStackSize);
    if (context->signalStack) BBXMemoryZero(context->signalStack, BBXSignalStackSize);
    auto* writable = static_cast<BBXWritableContext*>(
        BBXAllocatorSafeAllocate(bbxAllocator, sizeof(BBXWritableContext), BBXAllocationWritable));
    if (!writable) return;
    BBXMemoryZero(writable, sizeof(BBXWritableContext));
    writable->sdkLogFd = -1;
    writable->binaryImagesFile.fd = -1;
    context->initialized = 0;
    writable->crashOccurred = 0;
    bbxWritableContext = writable;
    __atomic_store_n(&bbxContext, context, __ATOMIC_SEQ_CST);
    BBXMemoryInitFallback();

    auto group = std::make_shared<SetupGroup>([] { BBXContextFinishInitialization(); });

    // 4. The SDK's own log.
    context->sdkLogPath = BBXContextPathForFile(input->reportPath, "sdk.log");
    if (!BBXUnlinkIfExists(context->sdkLogPath))
        spdlog::error("[Blackbox:Crash] Unable to write initialize SDK write paths {}", BBXErrnoText(errno));

    // 5. Flags and targets.
    context->debuggerAttached = BBXProcessDebuggerAttached() ? 1 : 0;
    context->potentiallySubmittableCrashTarget = input->potentiallySubmittableCrashTarget;
    context->crashCallbackTarget = input->crashCallbackTarget;
    context->firstInstall = input->firstInstall ? 1 : 0;

    // 6. Host, user logging and images.
    BBXUserLoggingSetupStores(input);
    group->async([] { BBXHostInitialize(); });
    group->async([] { BBXUserLoggingInitializeStorage(); });
    BBXSetupImagesAndCapture(input, [&](std::function<void()> task) { group->async(std::move(task)); });

    // 8. Metadata.
    // The caller's strings need not outlive this call; the metadata task keeps its own.
    auto strings = std::make_shared<std::vector<std::string>>();
    auto copy = std::make_shared<BBXContextInitData>(*input);
    strings->reserve(6);
    for (const char** field : {&copy->apiKey, &copy->customBundleId, &copy->reportPath, &copy->sessionId,
                               &copy->installId, &copy->betaToken}) {
        if (*field) *field = strings->emplace_back(*field).c_str();
    }
    group->async([copy, strings] { setupMetadata(copy.get()); });

    // 9, 10. Finish when all is done; wait at most 5 seconds for it.
    group->seal();
    if (!group->wait(std::chrono::seconds(5))) BBXSDKLog("%s: Error: Delayed initialization\n", __func__);
}

bool BBXContextRecordMetadata(const char* reportDirectory, const BBXContextInitData* input) {
    if (!reportDirectory || !input) return false;
    std::string path = std::string(reportDirectory) + "/metadata.bbxrecord";
    if (!BBXUnlinkIfExists(path.c_str())) BBXSDKLog("%s: Unable to unlink existing metadata file %s\n", __func__, path.c_str());
    BBXFile file;
    if (!BBXFileInitWithPath(&file, path.c_str(), false)) {
        BBXSDKLog("%s: Unable to open metadata file %s\n", __func__, path.c_str());
        BBXSDKLog("%s: Unable to record context metadata\n", __func__);
        return false;
    }
    BBXFileWriteSectionStart(&file, "identity");
    BBXFileWriteHashStart(&file);
    BBXFileWriteHashEntryString(&file, "generator", "Blackbox Mac SDK/3.4.1");
    BBXFileWriteHashEntryString(&file, "build_version", "92");
    BBXFileWriteHashEntryString(&file, "display_version", "3.4.1");
    BBXFileWriteHashEntryString(&file, "api_key", input->apiKey);
    BBXFileWriteHashEntryUint64(&file, "started_at", static_cast<std::uint64_t>(std::time(nullptr)));
    BBXFileWriteHashEntryString(&file, "session_id", input->sessionId);
    BBXFileWriteHashEntryString(&file, "install_id", input->installId);
    BBXFileWriteHashEntryString(&file, "beta_token", input->betaToken);
    BBXFileWriteHashEnd(&file);
    BBXFileWriteSectionEnd(&file);

    if (!BBXHostRecordInfo(&file)) BBXSDKLog("%s: Unable to write out host metadata\n", __func__);

    auto& info = base::AppInfo::shared();
    std::string bundleId = info.bundleIdentifier(), build = info.buildVersion(), display = info.shortVersion();
    BBXFileWriteSectionStart(&file, "application");
    BBXFileWriteHashStart(&file);
    BBXFileWriteHashEntryNSString(&file, "bundle_id", bundleId.data(), bundleId.size());
    BBXFileWriteHashEntryString(&file, "custom_bundle_id", input->customBundleId);
    BBXFileWriteHashEntryNSString(&file, "build_version", build.data(), build.size());
    BBXFileWriteHashEntryNSString(&file, "display_version", display.data(), display.size());
    BBXFileWriteHashEntryString(&file, "extension_id", nullptr);
    BBXFileWriteHashEnd(&file);
    BBXFileWriteSectionEnd(&file);

    if (!BBXBinaryImageRecordMainExecutable(&file)) BBXSDKLog("%s: Unable to write out executable metadata\n", __func__);
    BBXFileClose(&file);
    return true;
}
