// The record writer and reader: line format, buffer edges, escaping, cut-off files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "TempDir.h"
#include "base/Files.h"
#include "kits/blackbox/BBXRecords.h"
#include "kits/blackbox/crashtime/BBXFile.h"

namespace {

std::string contents(const std::string& path) { return base::readFile(path).value_or("<missing>"); }

struct RecordFile : ::testing::Test {
    testsupport::TempDir dir;
    std::string path = dir.file("r.bbxrecord");
    BBXFile file{};
};

TEST_F(RecordFile, WritesOneRestrictedJsonObjectPerLine) {
    ASSERT_TRUE(BBXFileInitWithPath(&file, path.c_str(), false));
    BBXFileWriteSectionStart(&file, "signal");
    BBXFileWriteHashStart(&file);
    BBXFileWriteHashEntryUint64(&file, "number", 11);
    BBXFileWriteHashEntryInt64(&file, "code", -42);
    BBXFileWriteHashEntryString(&file, "code_name", nullptr);
    BBXFileWriteHashEntryHexEncodedString(&file, "empty", "", 0);
    BBXFileWriteHashEntryHexEncodedString(&file, "reason", "Hi", 2);
    BBXFileWriteHashEntryBoolean(&file, "crashed", true);
    BBXFileWriteHashKey(&file, "stack");
    BBXFileWriteArrayStart(&file);
    BBXFileWriteArrayEntryUint64(&file, 0);
    BBXFileWriteArrayEntryUint64(&file, 18446744073709551615ull);
    BBXFileWriteArrayStart(&file);
    BBXFileWriteArrayEntryString(&file, "a");
    BBXFileWriteArrayEntryString(&file, nullptr);
    BBXFileWriteArrayEnd(&file);
    BBXFileWriteArrayEnd(&file);
    BBXFileWriteHashEntryNSStringUnlessNilOrEmpty(&file, "skipped", "", 0);
    BBXFileWriteHashEntryUint64(&file, "time", 7);
    BBXFileWriteHashEnd(&file);
    BBXFileWriteSectionEnd(&file);
    BBXFileWriteSectionStart(&file, "second");
    BBXFileWriteHashStart(&file);
    BBXFileWriteHashEnd(&file);
    BBXFileWriteSectionEnd(&file);
    ASSERT_TRUE(BBXFileClose(&file));
    EXPECT_EQ(file.fd, -1);

    EXPECT_EQ(contents(path),
              "{\"signal\":{\"number\":11,\"code\":-42,\"code_name\":null,\"empty\":\"\",\"reason\":\"4869\","
              "\"crashed\":true,\"stack\":[0,18446744073709551615,[\"a\",null]],\"time\":7}}\n"
              "{\"second\":{}}\n");
    auto sections = BBXFileReadSections(path, false);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 2u);
    EXPECT_EQ((*sections)[0]["signal"]["stack"][1].get<std::uint64_t>(), 18446744073709551615ull);
}

TEST_F(RecordFile, HostileStringsStayReadable) {
    const std::string hostile[] = {
        "quote \" inside", "back\\slash", "line\nbreak\ttab\x01\x1f", "bad utf8 \xff\xc3(\xe2\x82 end",
        "overlong \xc0\xaf and surrogate \xed\xa0\x80", "fine: caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
    };
    ASSERT_TRUE(BBXFileInitWithPath(&file, path.c_str(), true));
    for (const auto& s : hostile) {
        BBXFileWriteSectionStart(&file, "thread_names");
        BBXFileWriteArrayStart(&file);
        BBXFileWriteArrayEntryString(&file, s.c_str());
        BBXFileWriteArrayEnd(&file);
        BBXFileWriteSectionEnd(&file);
    }
    ASSERT_TRUE(BBXFileClose(&file));
    auto sections = BBXFileReadSections(path, false);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), std::size(hostile));
    EXPECT_EQ((*sections)[0]["thread_names"][0], hostile[0]);
    EXPECT_EQ((*sections)[1]["thread_names"][0], hostile[1]);
    EXPECT_EQ((*sections)[2]["thread_names"][0], hostile[2]);
    // Bytes that are not UTF-8 come back as the code points of their values.
    EXPECT_EQ((*sections)[3]["thread_names"][0], "bad utf8 \xc3\xbf\xc3\x83(\xc3\xa2\xc2\x82 end");
    EXPECT_EQ((*sections)[4]["thread_names"][0],
              "overlong \xc3\x80\xc2\xaf and surrogate \xc3\xad\xc2\xa0\xc2\x80");
    EXPECT_EQ((*sections)[5]["thread_names"][0], hostile[5]);
}

TEST_F(RecordFile, BufferFlushesAtItsEdgeAndLongPiecesLoop) {
    ASSERT_TRUE(BBXFileInitWithPathMode(&file, path.c_str(), false, true));
    std::string exact(1000, 'x');
    BBXFileWriteBytes(&file, exact.data(), exact.size());
    EXPECT_EQ(file.fill, 1u);
    EXPECT_EQ(file.written, 999u);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 999);

    std::string small(998, 'y');  // 1 + 998 stays below the edge
    BBXFileWriteBytes(&file, small.data(), small.size());
    EXPECT_EQ(file.fill, 999u);
    EXPECT_EQ(file.written, 999u);

    std::string huge(5000, 'z');
    BBXFileWriteBytes(&file, huge.data(), huge.size());
    std::uint64_t size = 0;
    ASSERT_TRUE(BBXFileCloseWithOffset(&file, &size));
    EXPECT_EQ(size, 1000u + 998u + 5000u);
    EXPECT_EQ(contents(path), exact + small + huge);
}

TEST_F(RecordFile, AppendingContinuesAfterTheLastLine) {
    { std::ofstream(path) << "{\"old\":{}}\n"; }
    ASSERT_TRUE(BBXFileInitWithPath(&file, path.c_str(), false));
    EXPECT_EQ(file.written, 11u);
    BBXFileWriteSectionStart(&file, "new");
    BBXFileWriteHashStart(&file);
    BBXFileWriteHashEnd(&file);
    BBXFileWriteSectionEnd(&file);
    std::uint64_t size = 0;
    ASSERT_TRUE(BBXFileCloseWithOffset(&file, &size));
    EXPECT_EQ(size, 22u);
    EXPECT_EQ(contents(path), "{\"old\":{}}\n{\"new\":{}}\n");

    ASSERT_TRUE(BBXFileInitWithPathMode(&file, path.c_str(), false, false));
    EXPECT_EQ(file.written, 0u);
    BBXFileClose(&file);
    EXPECT_EQ(contents(path), "");
}

TEST_F(RecordFile, CutOffAndUnreadableFiles) {
    { std::ofstream(path) << "{\"a\":{\"x\":1}}\nnot json\n[1,2]\n{\"b\":{\"y\":\"2\"}}\n{\"c\":{\"z\":[1,2"; }
    auto sections = BBXFileReadSections(path, false);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 2u);
    EXPECT_TRUE((*sections)[1].contains("b"));

    auto transformed = BBXFileReadSections(path, false, [](const nlohmann::json& j) -> std::optional<nlohmann::json> {
        if (!j.contains("b")) return std::nullopt;
        return j["b"];
    });
    ASSERT_TRUE(transformed);
    ASSERT_EQ(transformed->size(), 1u);
    EXPECT_EQ((*transformed)[0]["y"], "2");

    EXPECT_FALSE(BBXFileReadSections(dir.file("missing"), true));
    // A folder cannot be read as a file: removed when asked.
    std::string folder = dir.file("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    EXPECT_FALSE(BBXFileReadSections(folder, false));
    EXPECT_EQ(::access(folder.c_str(), F_OK), 0);
}

TEST_F(RecordFile, OpeningFailsCleanly) {
    EXPECT_FALSE(BBXFileInitWithPath(&file, dir.file("no/such/dir/x").c_str(), false));
    EXPECT_FALSE(BBXFileIsOpen(&file));
    EXPECT_FALSE(BBXFileInitWithPath(nullptr, path.c_str(), false));
    EXPECT_FALSE(BBXFileClose(&file));
    // Writes to a closed handle do nothing.
    BBXFileWriteSectionStart(&file, "x");
    EXPECT_EQ(file.written, 0u);
}

}  // namespace
