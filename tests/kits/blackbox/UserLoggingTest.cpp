// Bounded user-logging stores: A/B files, compaction, and the context's entry points.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "TestContext.h"
#include "base/Files.h"
#include "kits/blackbox/BBXContextSetup.h"
#include "kits/blackbox/BBXException.h"
#include "kits/blackbox/BBXRecords.h"
#include "kits/blackbox/BBXUserLogging.h"
#include "kits/blackbox/crashtime/BBXCapture.h"

namespace {

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string hex(const std::string& s) {
    std::string out(s.size() * 2 + 1, '\0');
    BBXBytesToHexString(s.data(), s.size(), out.data());
    out.pop_back();
    return out;
}

std::vector<nlohmann::json> sections(const std::string& path, const char* key) {
    auto all = BBXFileReadSections(path, false, [&](const nlohmann::json& j) -> std::optional<nlohmann::json> {
        if (!j.contains(key)) return std::nullopt;
        return j[key];
    });
    return all.value_or(std::vector<nlohmann::json>{});
}

struct Stores : ::testing::Test {
    testsupport::TempDir dir;
    std::string a = dir.file("a.bbxrecord"), b = dir.file("b.bbxrecord");
    std::string incremental = dir.file("inc.bbxrecord"), compacted = dir.file("compacted.bbxrecord");
    std::uint32_t counter = 0;

    void writeEntry(BBXABStore& store, const char*& current, int n) {
        BBXUserLoggingWriteAndCheckABFiles(&store, &current, [&](BBXFile* f) {
            BBXFileWriteSectionStart(f, "log");
            BBXFileWriteHashStart(f);
            BBXFileWriteHashEntryUint64(f, "n", static_cast<std::uint64_t>(n));
            BBXFileWriteHashEnd(f);
            BBXFileWriteSectionEnd(f);
        });
        BBXLoggingQueue().drain();
    }
    void set(BBXKVStore& store, const std::string& key, std::optional<std::string> value) {
        BBXLoggingQueue().sync([&] { BBXUserLoggingWriteKeyValue(key, value, &store, &counter); });
        BBXLoggingQueue().drain();
    }
};

TEST_F(Stores, EntryLimitedStoreSwapsAndEmptiesTheOtherFileFirst) {
    BBXABStore store{a.c_str(), b.c_str(), 0, 3, 0, &counter};
    const char* current = store.aPath;
    { std::FILE* f = std::fopen(b.c_str(), "w"); std::fputs("{\"log\":{\"n\":99}}\n", f); std::fclose(f); }
    for (int i = 0; i < 3; ++i) writeEntry(store, current, i);
    // The third record fills A: B is emptied and becomes current.
    EXPECT_STREQ(current, store.bPath);
    EXPECT_FALSE(exists(b));
    EXPECT_EQ(counter, 0u);
    for (int i = 3; i < 7; ++i) writeEntry(store, current, i);
    // A was replaced after B filled; it holds the seventh record only.
    EXPECT_STREQ(current, store.aPath);
    EXPECT_EQ(sections(b, "log").size(), 3u);
    auto inA = sections(a, "log");
    ASSERT_EQ(inA.size(), 1u);
    EXPECT_EQ(inA[0]["n"], 6);
}

TEST_F(Stores, SizeLimitedStoreSwapsWhenAboveItsSize) {
    BBXABStore store{a.c_str(), b.c_str(), 40, 0, 1, nullptr};
    const char* current = store.aPath;
    writeEntry(store, current, 1);  // 16 bytes
    writeEntry(store, current, 2);  // 32
    EXPECT_STREQ(current, store.aPath);
    writeEntry(store, current, 3);  // 48 > 40
    EXPECT_STREQ(current, store.bPath);
    EXPECT_EQ(sections(a, "log").size(), 3u);
}

TEST_F(Stores, ZeroLimitWritesNothing) {
    BBXABStore bySize{a.c_str(), b.c_str(), 0, 10, 1, nullptr};
    BBXABStore byEntries{a.c_str(), b.c_str(), 10, 0, 0, &counter};
    const char* current = a.c_str();
    writeEntry(bySize, current, 1);
    writeEntry(byEntries, current, 1);
    EXPECT_FALSE(exists(a));
}

TEST_F(Stores, CompactionRunsOnTheTriggerWrite) {
    BBXKVStore store{incremental.c_str(), compacted.c_str(), 64, 100};
    set(store, "gone", std::string("a"));
    for (int i = 1; i < 63; ++i) set(store, "k" + std::to_string(i % 10), std::to_string(i));
    EXPECT_EQ(counter, 63u);
    EXPECT_FALSE(exists(compacted));
    set(store, "gone", std::nullopt);  // the 64th write
    EXPECT_EQ(counter, 0u);
    EXPECT_FALSE(exists(incremental));
    auto kv = sections(compacted, "kv");
    ASSERT_EQ(kv.size(), 10u);
    std::map<std::string, std::string> values;
    for (const auto& e : kv) values[e["key"]] = e["value"];
    EXPECT_FALSE(values.count(hex("gone")));
    EXPECT_EQ(values[hex("k2")], hex("62"));
    EXPECT_EQ(values[hex("k1")], hex("61"));

    // The next compaction folds the new keys into the old ones.
    for (int i = 0; i < 64; ++i) set(store, "x", std::to_string(i));
    kv = sections(compacted, "kv");
    EXPECT_EQ(kv.size(), 11u);
    EXPECT_EQ(kv.back()["key"], hex("x"));
    EXPECT_EQ(kv.back()["value"], hex("63"));
}

TEST_F(Stores, TruncationDropsTheLeastRecentlySetKeys) {
    BBXKVStore store{incremental.c_str(), compacted.c_str(), 64, 32};
    for (int i = 0; i < 40; ++i) set(store, "key" + std::to_string(i), "v");
    set(store, "key0", std::string("again"));  // key0 is recent now
    BBXLoggingQueue().sync([&] { BBXUserLoggingCompactKVEntries(&store); });
    auto kv = sections(compacted, "kv");
    ASSERT_EQ(kv.size(), 32u);
    std::set<std::string> keys;
    for (const auto& e : kv) keys.insert(e["key"]);
    EXPECT_TRUE(keys.count(hex("key0")));
    EXPECT_FALSE(keys.count(hex("key1")));
    EXPECT_FALSE(keys.count(hex("key8")));
    EXPECT_TRUE(keys.count(hex("key9")));

    // A leftover temporary file from an interrupted compaction does no harm,
    // and a compaction that cannot write keeps the incremental file.
    std::string nowhere = dir.file("no/such/compacted");
    BBXKVStore broken{incremental.c_str(), nowhere.c_str(), 64, 32};
    set(store, "kept", std::string("1"));
    BBXLoggingQueue().sync([&] { BBXUserLoggingCompactKVEntries(&broken); });
    EXPECT_TRUE(exists(incremental));
}

TEST_F(Stores, SyncFromTheLoggingQueueRunsInline) {
    bool ran = false;
    // The size check that follows the write is queued after it and reads the
    // store: the store outlives the queue's work, as the kit's own stores do.
    BBXABStore store{a.c_str(), b.c_str(), 100, 0, 1, nullptr};
    const char* current = store.aPath;
    BBXLoggingQueue().sync([&] {
        BBXUserLoggingWriteAndCheckABFiles(&store, &current, [&](BBXFile*) { ran = true; });
    });
    BBXLoggingQueue().drain();
    EXPECT_TRUE(ran);
}

TEST(UserLogging, ContextEntryPointsWriteIntoTheReport) {
    const std::string& dir = blackboxtest::reportDir();
    BBXUserLoggingRecordLogMessage("hello \"log\"");
    BBXUserLoggingRecordUserKeyValue("color", std::string("blue"));
    BBXUserLoggingRecordInternalKeyValue("io.blackbox.user-id", std::string("42"));
    base::Error error("TestDomain", -7, "went wrong");
    BBXUserLoggingRecordError(error, {{"extra", 5}});
    BBXLoggingQueue().drain();

    auto logs = sections(dir + "/log_a.bbxrecord", "log");
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ(logs.back()["msg"], hex("hello \"log\""));
    EXPECT_TRUE(logs.back()["time"].is_number_unsigned());
    auto user = sections(dir + "/user_incremental_kv.bbxrecord", "kv");
    ASSERT_FALSE(user.empty());
    EXPECT_EQ(user.back()["key"], hex("color"));
    EXPECT_FALSE(sections(dir + "/internal_incremental_kv.bbxrecord", "kv").empty());
    auto errors = sections(dir + "/errors_a.bbxrecord", "error");
    ASSERT_FALSE(errors.empty());
    const auto& e = errors.back();
    EXPECT_EQ(e["domain"], hex("TestDomain"));
    EXPECT_EQ(e["code"], -7);
    EXPECT_FALSE(e["stacktrace"].empty());
    EXPECT_EQ(e["info"][0][0], hex("NSLocalizedDescription"));
    EXPECT_EQ(e["info"][0][1], hex("went wrong"));
    EXPECT_EQ(e["extra_info"][0][1], hex("5"));
}

TEST(UserLogging, CustomExceptionsGoToTheirStoreWithoutThreadRecords) {
    const std::string& dir = blackboxtest::reportDir();
    auto frame = BBXStackFrame::stackFrameWithAddress(0x1234);
    frame.symbol = "doThing()";
    frame.lineNumber = 7;
    auto records = [&] {
        std::ifstream in(dir + "/custom_exception_a.bbxrecord");
        std::vector<nlohmann::json> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
        return lines;
    };
    BBXLoggingQueue().drain();
    const std::size_t before = records().size();  // other tests' exceptions
    BBXExceptionRecord(BBXExceptionTypeCustom, "Bad \"thing\"", "why", {frame}, false);
    BBXExceptionRecord(BBXExceptionTypeJavaScript, "exception", "msg", {}, false);
    BBXLoggingQueue().drain();
    auto all = records();
    ASSERT_EQ(all.size(), before + 2);
    const std::vector<nlohmann::json> lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    const auto& e = lines[0]["exception"];
    EXPECT_EQ(e["type"], "custom");
    EXPECT_EQ(e["name"], hex("Bad \"thing\""));
    EXPECT_EQ(e["frames"][0]["pc"], 0x1234);
    EXPECT_EQ(e["frames"][0]["symbol"], hex("doThing()"));
    EXPECT_EQ(e["frames"][0]["line"], 7);
    EXPECT_FALSE(e["frames"][0].contains("library"));
    EXPECT_EQ(lines[1]["exception"]["type"], "javascript");
    EXPECT_FALSE(lines[1]["exception"].contains("frames"));
}

// Set-up runs its tasks side by side on the shared pool, and two of them
// clear the custom-exceptions counter; under ThreadSanitizer a plain store
// in each is reported as a race. They run here on a writable copy of the
// context, as it is before set-up protects it.
TEST(UserLogging, TheSetUpTasksThatClearTheCustomExceptionsCounterMayRunAtOnce) {
    blackboxtest::reportDir();
    BBXBinaryImagesQueue().drain();
    BBXLoggingQueue().drain();
    BBXContext* protectedContext = bbxContext;
    BBXContext settingUp = *protectedContext;
    __atomic_store_n(&bbxContext, &settingUp, __ATOMIC_SEQ_CST);
    std::uint32_t* counter = &bbxWritableContext->logging.customExceptionsCount;
    for (int round = 0; round < 20; ++round) {
        __atomic_store_n(counter, 3, __ATOMIC_SEQ_CST);
        std::thread exceptions([&] { BBXExceptionInitialize(&settingUp.exceptionStore, counter); });
        std::thread storage([] { BBXUserLoggingInitializeStorage(); });
        exceptions.join();
        storage.join();
        EXPECT_EQ(*counter, 0u);
    }
    __atomic_store_n(&bbxContext, protectedContext, __ATOMIC_SEQ_CST);
}

}  // namespace
