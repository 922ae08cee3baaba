// The crash context: protected region, SDK log, checked reads, crash-once flag, metadata.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "TestContext.h"
#include "base/Files.h"
#include "kits/blackbox/BBXBinaryImages.h"
#include "kits/blackbox/BBXException.h"
#include "kits/blackbox/BBXUserLogging.h"
#include "kits/blackbox/BBXRecords.h"
#include "kits/blackbox/crashtime/BBXContext.h"

namespace {

using blackboxtest::reportDir;

TEST(CrashContext, IsBuiltProtectedAndStillReadable) {
    reportDir();
    ASSERT_TRUE(BBXContextIsInitialized());
    ASSERT_NE(bbxAllocator, nullptr);
    EXPECT_EQ(bbxAllocator->protectedFlag, 1u);
    EXPECT_STREQ(bbxContext->sdkLogPath, (reportDir() + "/sdk.log").c_str());
    EXPECT_EQ(bbxContext->pageSize, static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)));
    // The two stacks and the writable block lie in the writable part.
    auto inWritable = [](const void* p) {
        auto a = reinterpret_cast<std::uint64_t>(p);
        return a >= bbxAllocator->writable.start && a < bbxAllocator->writable.start + bbxAllocator->writable.size;
    };
    EXPECT_TRUE(inWritable(bbxContext->signalStack));
    EXPECT_TRUE(inWritable(bbxContext->machStack));
    EXPECT_TRUE(inWritable(bbxWritableContext));
    // After protection, new strings come from elsewhere but still work.
    const char* late = BBXContextCopyString("late");
    ASSERT_NE(late, nullptr);
    EXPECT_STREQ(late, "late");
    EXPECT_EQ(BBXContextCopyString(nullptr), nullptr);
}

TEST(CrashContextDeathTest, AWriteIntoTheReadOnlyPartKills) {
    reportDir();
    EXPECT_EXIT(
        {
            bbxContext->debuggerAttached = 7;
            _exit(0);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    // Reads keep working in this process.
    EXPECT_EQ(bbxContext->initialized, 1);
}

TEST(CrashContextDeathTest, GuardPagesSurroundTheParts) {
    BBXAllocator* a = BBXAllocatorCreate(100, 100);
    ASSERT_NE(a, nullptr);
    auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    EXPECT_EQ(a->writable.size, page);
    EXPECT_EQ(a->readOnly.start, a->writable.start + a->writable.size + page);
    EXPECT_EXIT({ *reinterpret_cast<volatile char*>(a->writable.start + a->writable.size) = 1; _exit(0); },
                ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EXIT({ *reinterpret_cast<volatile char*>(a->base) = 1; _exit(0); }, ::testing::KilledBySignal(SIGSEGV), "");
    // A guard page reads as unreadable through the checked copy.
    char c;
    EXPECT_FALSE(BBXReadMemory(a->base, &c, 1));
    EXPECT_FALSE(BBXReadMemory(a->writable.start + a->writable.size - 1, &c, 2));
    EXPECT_TRUE(BBXReadMemory(a->writable.start, &c, 1));
}

TEST(CrashContext, AllocatorBumpsThenFallsBack) {
    BBXAllocator* a = BBXAllocatorCreate(4096, 100);
    ASSERT_NE(a, nullptr);
    // A multiple of the page still gets one more page.
    EXPECT_EQ(a->writable.size, 2 * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)));
    void* first = BBXAllocatorSafeAllocate(a, 10, BBXAllocationWritable);
    void* second = BBXAllocatorSafeAllocate(a, 10, BBXAllocationWritable);
    EXPECT_EQ(reinterpret_cast<std::uint64_t>(first), a->writable.start);
    EXPECT_EQ(reinterpret_cast<std::uint64_t>(second), a->writable.start + 16);
    EXPECT_EQ(BBXAllocatorSafeAllocate(a, 10, 2), nullptr);
    void* big = BBXAllocatorSafeAllocate(a, 1 << 20, BBXAllocationWritable);
    ASSERT_NE(big, nullptr);
    auto b = reinterpret_cast<std::uint64_t>(big);
    EXPECT_TRUE(b < a->base || b >= a->base + a->mappingSize);
    static_cast<char*>(big)[(1 << 20) - 1] = 1;

    void* ro = BBXAllocatorSafeAllocate(a, 32, BBXAllocationReadOnly);
    EXPECT_TRUE(BBXAllocatorProtect(a));
    EXPECT_TRUE(BBXAllocatorProtect(a));
    EXPECT_FALSE(BBXAllocatorProtect(nullptr));
    char probe;
    EXPECT_TRUE(BBXReadMemory(reinterpret_cast<std::uint64_t>(ro), &probe, 1));
    // After protection allocations no longer come from the region.
    auto later = reinterpret_cast<std::uint64_t>(BBXAllocatorSafeAllocate(a, 8, BBXAllocationReadOnly));
    EXPECT_TRUE(later < a->base || later >= a->base + a->mappingSize);
}

TEST(CrashContext, CheckedReadsRefuseBadAddresses) {
    for (bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "pipe fallback" : "process_vm_readv");
        BBXMemorySetUsePipeFallback(pipe);
        static const char text[] = "readable text";
        char out[sizeof text] = {};
        EXPECT_TRUE(BBXReadMemory(reinterpret_cast<std::uint64_t>(text), out, sizeof text));
        EXPECT_STREQ(out, text);
        EXPECT_FALSE(BBXReadMemory(4095, out, 1));
        EXPECT_FALSE(BBXReadMemory(0, out, 1));
        void* hole = ::mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(hole, MAP_FAILED);
        ::mprotect(static_cast<char*>(hole) + 4096, 4096, PROT_NONE);
        std::memcpy(static_cast<char*>(hole) + 4090, "abcde", 6);
        const char* found = nullptr;
        EXPECT_TRUE(BBXReadCString(reinterpret_cast<std::uint64_t>(hole) + 4090, &found, 100));
        EXPECT_EQ(found, static_cast<char*>(hole) + 4090);
        // No terminator before the unreadable page.
        std::memcpy(static_cast<char*>(hole) + 4090, "abcdef", 6);
        EXPECT_FALSE(BBXReadCString(reinterpret_cast<std::uint64_t>(hole) + 4090, &found, 100));
        EXPECT_TRUE(BBXReadCString(reinterpret_cast<std::uint64_t>(hole) + 4090, &found, 6));
        // Room for the whole read: the readable part is copied before the fault is found.
        char wide[200];
        EXPECT_FALSE(BBXReadMemory(reinterpret_cast<std::uint64_t>(hole) + 4000, wide, sizeof wide));
        EXPECT_TRUE(BBXReadCString(12, &found, 0));
        EXPECT_FALSE(BBXReadCString(12, &found, 1));
        ::munmap(hole, 8192);
    }
    BBXMemorySetUsePipeFallback(false);
}

TEST(CrashContext, SdkLogUnderstandsItsFewConversions) {
    reportDir();
    BBXSDKLog("%s: s=%s n=%s d=%d u=%u x=%x p=%p ll=%llx pc=%% end\n", "Probe", "str", static_cast<const char*>(nullptr),
              -12, 4000000000u, 0xbeefu, reinterpret_cast<void*>(0xabc), 5ull);
    auto log = base::readFile(reportDir() + "/sdk.log").value_or("");
    EXPECT_NE(log.find("Probe: s=str n=(null) d=-12 u=4000000000 x=beef p=0xabc ll=%llx pc=%% end\n"), std::string::npos)
        << log;
}

TEST(CrashContextDeathTest, OnlyTheFirstCrashRecords) {
    reportDir();
    EXPECT_EXIT(
        {
            bool first = BBXContextMarkAndCheckIfCrashed();
            bool second = BBXContextMarkAndCheckIfCrashed();
            bool mine = bbxWritableContext->crashingThread == BBXCurrentThreadId();
            _exit(!first && second && mine ? 3 : 4);
        },
        ::testing::ExitedWithCode(3), "");
    EXPECT_EQ(bbxWritableContext->crashOccurred, 0);
}

TEST(CrashContext, MetadataDescribesTheLaunch) {
    auto sections = BBXFileReadSections(reportDir() + "/metadata.bbxrecord", false);
    ASSERT_TRUE(sections);
    ASSERT_GE(sections->size(), 3u);
    const auto& identity = (*sections)[0]["identity"];
    EXPECT_EQ(identity["generator"], "Blackbox Mac SDK/3.4.1");
    EXPECT_EQ(identity["api_key"], "0123456789abcdef0123456789abcdef01234567");
    EXPECT_EQ(identity["session_id"], "SESSION-1");
    EXPECT_EQ(identity["install_id"], "INSTALL-1");
    EXPECT_TRUE(identity["beta_token"].is_null());
    EXPECT_TRUE(identity["started_at"].is_number_unsigned());
    const auto& host = (*sections)[1]["host"];
    EXPECT_EQ(host["platform"], "mac");
    EXPECT_FALSE(host["machine"].get<std::string>().empty());
    EXPECT_TRUE((*sections)[2].contains("application"));
    ASSERT_GE(sections->size(), 4u);
    const auto& executable = (*sections)[3]["executable"];
    EXPECT_EQ(executable["architecture"], "x86_64");
    EXPECT_EQ(executable["uuid"].get<std::string>().size(), 40u);
    EXPECT_GT(executable["size"].get<std::uint64_t>(), 0u);
}

TEST(CrashContext, LoadedImagesAreLogged) {
    reportDir();
    BBXBinaryImagesQueue().drain();
    auto sections = BBXFileReadSections(reportDir() + "/binary_images.bbxrecord", false);
    ASSERT_TRUE(sections);
    auto metadata = BBXFileReadSections(reportDir() + "/metadata.bbxrecord", false);
    ASSERT_TRUE(metadata && metadata->size() >= 4);
    std::string mainUuid = (*metadata)[3]["executable"]["uuid"];
    bool sawMain = false, sawLibc = false;
    for (const auto& s : *sections) {
        ASSERT_TRUE(s.contains("load"));
        const auto& load = s["load"];
        EXPECT_TRUE(load["base"].is_number_unsigned());
        EXPECT_GT(load["size"].get<std::uint64_t>(), 0u);
        if (load["uuid"] == mainUuid) sawMain = load["path"].get<std::string>().find("test_blackbox") != std::string::npos;
        if (load["path"].get<std::string>().find("libc.so") != std::string::npos) sawLibc = true;
    }
    EXPECT_TRUE(sawMain);
    EXPECT_TRUE(sawLibc);
}

TEST(CrashContext, LibrariesOpenedAndClosedAreLoggedAsTheyComeAndGo) {
    reportDir();
    BBXBinaryImagesQueue().drain();
    void* plugin = ::dlopen(UNWIND_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr);
    auto code = reinterpret_cast<std::uint64_t>(::dlsym(plugin, "plugin_call"));
    BBXImageEntry entry;
    // The loader opens it; the next call through the kit takes it in.
    // Opened twice, closed once: still there.
    void* again = ::dlopen(UNWIND_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_EQ(again, plugin);
    EXPECT_TRUE(BBXBinaryImageSafeFindImageForAddress(code, &entry));
    EXPECT_EQ(BBXBinaryImageRescan(), 0);
    ::dlclose(again);
    EXPECT_TRUE(BBXBinaryImageSafeFindImageForAddress(code, &entry));
    ::dlclose(plugin);
    EXPECT_FALSE(BBXBinaryImageSafeFindImageForAddress(code, &entry));
    EXPECT_EQ(BBXBinaryImageRescan(), 0);
    BBXBinaryImagesQueue().drain();
    auto sections = BBXFileReadSections(reportDir() + "/binary_images.bbxrecord", false);
    ASSERT_TRUE(sections && sections->size() >= 2);
    const auto& loaded = (*sections)[sections->size() - 2];
    const auto& unloaded = sections->back();
    ASSERT_TRUE(loaded.contains("load"));
    EXPECT_NE(loaded["load"]["path"].get<std::string>().find("unwind_plugin"), std::string::npos);
    ASSERT_TRUE(unloaded.contains("unload"));
    EXPECT_EQ(unloaded["unload"]["base"], loaded["load"]["base"]);
    EXPECT_EQ(unloaded["unload"]["path"], loaded["load"]["path"]);
    EXPECT_EQ(unloaded["unload"]["uuid"], loaded["load"]["uuid"]);
}

// An error or custom exception recorded from a plugin just opened (no loader
// call through the kit since) carries the plugin's load record, so that its
// frames can be named.
TEST(CrashContext, ARecordFromALibraryJustOpenedCarriesItsLoadRecord) {
    reportDir();
    using Record = void (*)();
    const Record records[] = {
        [] { BBXUserLoggingRecordError(base::Error("io.flashwren.test", 7)); },
        [] {
            BBXExceptionRecord(BBXExceptionTypeCustom, "PluginFailure", "from the plugin",
                               {BBXStackFrame::stackFrameWithAddress(reinterpret_cast<std::uint64_t>(__builtin_return_address(0)))},
                               false);
        },
    };
    for (Record record : records) {
        void* plugin = ::dlopen(UNWIND_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(plugin, nullptr);
        auto call = reinterpret_cast<int (*)(int (*)(void*), void*)>(::dlsym(plugin, "plugin_call"));
        ASSERT_NE(call, nullptr);
        call([](void* r) { reinterpret_cast<Record>(r)(); return 0; }, reinterpret_cast<void*>(record));
        BBXBinaryImagesQueue().drain();
        BBXImageEntry entry;
        EXPECT_TRUE(BBXBinaryImageSafeFindImageForAddress(reinterpret_cast<std::uint64_t>(call), &entry));
        auto sections = BBXFileReadSections(reportDir() + "/binary_images.bbxrecord", false);
        ASSERT_TRUE(sections);
        std::string last;
        for (const auto& s : *sections)
            for (const char* event : {"load", "unload"})
                if (s.contains(event) && s[event]["path"].get<std::string>().find("unwind_plugin") != std::string::npos)
                    last = event;
        EXPECT_EQ(last, "load");
        ::dlclose(plugin);
    }
}

// A program that opens and closes plugins without end keeps its image log
// bounded: past a limit the log is rewritten with the images still loaded.
TEST(CrashContext, OpeningAndClosingInALoopKeepsTheImageLogBounded) {
    const std::string path = reportDir() + "/binary_images.bbxrecord";
    for (int i = 0; i < 1500; ++i) {
        void* plugin = ::dlopen(UNWIND_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(plugin, nullptr) << ::dlerror();
        ASSERT_EQ(::dlclose(plugin), 0);
    }
    BBXBinaryImagesQueue().drain();
    EXPECT_LE(std::filesystem::file_size(path), 256u * 1024 + 4096) << "past its bound of 256 KiB";
    EXPECT_FALSE(std::filesystem::exists(reportDir() + "/.binary_images.bbxrecord.compacting"));
    auto sections = BBXFileReadSections(path, false);
    ASSERT_TRUE(sections.has_value());
    std::set<std::uint64_t> loaded;
    for (const auto& s : *sections)
        if (s.contains("load")) loaded.insert(s["load"]["base"].get<std::uint64_t>());
    for (const auto& image : BBXBinaryImageLoadedImages())
        EXPECT_TRUE(loaded.count(image.details.loadAddress)) << image.path;
}

}  // namespace
