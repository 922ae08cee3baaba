#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "base/Plist.h"

using namespace std::string_literals;

namespace {

// A binary property list from encoded objects (one-byte references and
// offsets), the first object being the root.
std::string binaryList(const std::vector<std::string>& objects) {
    std::string out = "bplist00";
    std::vector<std::size_t> offsets;
    for (const auto& o : objects) {
        offsets.push_back(out.size());
        out += o;
    }
    std::size_t table = out.size();
    for (auto o : offsets) out.push_back(static_cast<char>(o));
    std::string trailer(6, '\0');
    trailer += "\x01\x01"s;
    auto be64 = [&](std::uint64_t v) {
        for (int i = 7; i >= 0; --i) trailer.push_back(static_cast<char>((v >> (i * 8)) & 0xff));
    };
    be64(objects.size());
    be64(0);
    be64(table);
    return out + trailer;
}

std::string ascii(const std::string& s) {
    if (s.size() < 15) return std::string(1, static_cast<char>(0x50 | s.size())) + s;
    return "\x5F\x10"s + static_cast<char>(s.size()) + s;
}

// A UTF-16 string object (the form a list gives any text beyond ASCII) of
// `s`, Latin-1 here.
std::string utf16(const std::u16string& s) {
    std::string out = "\x6F\x10"s + static_cast<char>(s.size());
    for (char16_t c : s) out += std::string{static_cast<char>(c >> 8), static_cast<char>(c & 0xff)};
    return out;
}

}  // namespace

TEST(PlistDamage, NulInsideAnXmlStringIsADamagedListNotAnAbort) {
    std::string file = "<string>\0</string>"s;
    ASSERT_EQ(file.size(), 18u);
    EXPECT_FALSE(base::plistParse(file));
    EXPECT_FALSE(base::plistParse("<dict><key>a\0b</key><true/></dict>"s));
    EXPECT_FALSE(base::plistParse("<array><string>x</string><dict><key>\0</key><string>v</string></dict></array>"s));
}

TEST(PlistDamage, NulInsideABinaryKeyIsADamagedList) {
    // {"a\0b": true}
    EXPECT_FALSE(base::plistParse(binaryList({"\xD1\x01\x02"s, ascii("a\0b"s), "\x09"s})));
    // A long key, its length in an integer object after the marker.
    EXPECT_FALSE(base::plistParse(binaryList({"\xD1\x01\x02"s, ascii("0123456789abcdef\0tail"s), "\x09"s})));
    // A UTF-16 key holding U+0000, inside an array.
    EXPECT_FALSE(base::plistParse(binaryList({"\xA1\x01"s, "\xD1\x02\x03"s, "\x62\x00\x41\x00\x00"s, "\x08"s})));
}

// No property list can be written holding a NUL inside a text, so the reader
// drops it, saying so once with the key: what is read is what a save writes.
TEST(PlistDamage, NulInsideABinaryStringIsDroppedWithOneLineAndSurvivesASave) {
    // {"k": UTF-16 "A\0", "UTF16": UTF-16 "\u00e9", "EVENT": ["Zo\u00eb\0and Jonas wedding"]}
    testsupport::LogCapture log;
    auto value = base::plistParse(binaryList({"\xD3\x01\x02\x03\x04\x05\x06"s, ascii("k"s), ascii("UTF16"s),
                                              ascii("EVENT"s), "\x62\x00\x41\x00\x00"s, "\x61\x00\xE9"s,
                                              "\xA1\x07"s, utf16(u"Zo\u00EB\0and Jonas wedding"s)}));
    ASSERT_TRUE(value);
    ASSERT_TRUE(value->is_object());
    EXPECT_EQ((*value)["k"], "A");
    EXPECT_EQ((*value)["UTF16"], "\xC3\xA9");
    EXPECT_EQ((*value)["EVENT"][0], "Zo\xC3\xAB" "and Jonas wedding");
    EXPECT_EQ(log.lines("NUL").size(), 2u);
    EXPECT_EQ(log.lines("\"EVENT[0]\"").size(), 1u);
    EXPECT_EQ(log.lines("\"k\"").size(), 1u);
    EXPECT_EQ(base::plistParse(base::plistToXml(*value)), value);
    EXPECT_EQ(base::plistParse(base::plistToBinary(*value)), value);
    EXPECT_EQ(log.lines("NUL").size(), 2u) << "a clean list reads without a word";
    // A value given to the writer with a NUL is written as the reader would keep it.
    EXPECT_EQ(base::plistParse(base::plistToXml({{"t", "a\0b"s}})), nlohmann::json({{"t", "ab"}}));
}

TEST(PlistDamage, TruncatedOrInconsistentBinaryListsAreRefused) {
    std::string good = binaryList({"\xD1\x01\x02"s, ascii("key"s), "\x09"s});
    ASSERT_TRUE(base::plistParse(good));
    for (std::size_t cut = 8; cut < good.size(); ++cut) EXPECT_FALSE(base::plistParse(good.substr(0, cut))) << cut;
    // A key reference past the object table.
    EXPECT_FALSE(base::plistParse(binaryList({"\xD1\x07\x02"s, ascii("key"s), "\x09"s})));
    // Objects that overlap: the key "3A" is the byte before a date and the
    // date's marker and first byte, so what a date reads through must not
    // change the key.
    std::string overlapping = "bplist00\xD1\x01\x02\x52\x33\x41\xCD\xCD\x65\x00\x00\x00\x00"s;
    const char table = static_cast<char>(overlapping.size());
    overlapping += "\x08\x0B\x0C"s + std::string(6, '\0') + "\x01\x01"s + std::string(7, '\0') + "\x03"s +
                   std::string(16, '\0');
    overlapping.back() = table;
    EXPECT_FALSE(base::plistParse(overlapping));
}
