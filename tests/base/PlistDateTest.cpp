// Dates in property lists stay dates through a read and a write, in either
// form of the list and whatever the local time zone.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "LogCapture.h"
#include "base/Plist.h"

namespace {

// 2026-12-07 06:00:00.25 UTC.
constexpr double kWhen = 1796623200.25;

struct ScopedTimeZone {
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved = old, had = true;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (had) ::setenv("TZ", saved.c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }
    std::string saved;
    bool had = false;
};

}  // namespace

TEST(PlistDate, ADateIsWrittenAsADateAndReadBackAsOne) {
    ScopedTimeZone tokyo("Asia/Tokyo");
    nlohmann::json dict = {{"when", base::plistDate(kWhen)}, {"bytes", nlohmann::json::binary({1, 2, 3, 4, 5, 6, 7, 8})}};
    const std::string xml = base::plistToXml(dict);
    EXPECT_NE(xml.find("<date>2026-12-07T06:00:00Z</date>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("<real>"), std::string::npos) << xml;

    auto back = base::plistParse(xml);
    ASSERT_TRUE(back);
    ASSERT_TRUE(base::plistIsDate((*back)["when"]));
    EXPECT_EQ(base::plistDateSeconds((*back)["when"]), std::floor(kWhen)) << "XML keeps whole seconds";
    // Eight bytes of data are data, never a date.
    EXPECT_FALSE(base::plistIsDate((*back)["bytes"]));
    EXPECT_EQ((*back)["bytes"].get_binary().size(), 8u);

    auto binary = base::plistParse(base::plistToBinary(dict));
    ASSERT_TRUE(binary);
    ASSERT_TRUE(base::plistIsDate((*binary)["when"]));
    EXPECT_NEAR(*base::plistDateSeconds((*binary)["when"]), kWhen, 1e-6) << "the binary form keeps the fraction";

    // A date written by another program, read then written again, is still a date.
    auto foreign = base::plistParse(
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>d</key><date>2001-01-01T00:00:00Z</date>"
        "</dict></plist>");
    ASSERT_TRUE(foreign);
    EXPECT_EQ(base::plistDateSeconds((*foreign)["d"]), 978307200.0);
    EXPECT_NE(base::plistToXml(*foreign).find("<date>2001-01-01T00:00:00Z</date>"), std::string::npos);
}

TEST(PlistDate, NumbersAndOddDatesAreNoDates) {
    EXPECT_FALSE(base::plistIsDate(nlohmann::json(kWhen)));
    EXPECT_FALSE(base::plistDateSeconds(nlohmann::json::binary({0, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_TRUE(base::plistDate(std::numeric_limits<double>::infinity()).is_null());
    EXPECT_TRUE(base::plistDate(std::nan("")).is_null());
    // Beyond what a property list holds: written at the nearest end, never wrapped.
    auto far = base::plistParse(base::plistToBinary({{"d", base::plistDate(1e18)}}));
    ASSERT_TRUE(far);
    auto seconds = base::plistDateSeconds((*far)["d"]);
    ASSERT_TRUE(seconds);
    EXPECT_GT(*seconds, 3.0e9);
}

// Dates before 2001 count back from the property-list epoch; with a fraction
// of a second they read back within a microsecond in the binary form, on
// either side of 2001 and of 1970.
TEST(PlistDate, DatesBefore2001KeepTheirFraction) {
    for (double when : {0.25, -0.75, 978307199.5, 978307199.9995, 978307200.25, 1.5e-3, -1e9 + 0.125}) {
        auto back = base::plistParse(base::plistToBinary({{"d", base::plistDate(when)}}));
        ASSERT_TRUE(back);
        auto seconds = base::plistDateSeconds((*back)["d"]);
        ASSERT_TRUE(seconds) << when;
        EXPECT_NEAR(*seconds, when, 1e-6) << std::fixed << when;
    }
}

namespace {

// A binary property list holding {"a": date, "b": date}, the dates as their
// stored seconds since 2001.
std::string binaryDates(double a, double b) {
    std::string out = "bplist00\xD2\x01\x02\x03\x04\x51\x61\x51\x62";
    for (double d : {a, b}) {
        out += '\x33';
        std::uint64_t bits = 0;
        std::memcpy(&bits, &d, sizeof bits);
        for (int i = 7; i >= 0; --i) out.push_back(static_cast<char>((bits >> (i * 8)) & 0xff));
    }
    const std::string offsets = {8, 13, 15, 17, 26};
    const std::size_t table = out.size();
    out += offsets;
    out += std::string(6, '\0') + "\x01\x01";
    for (std::uint64_t v : {std::uint64_t{5}, std::uint64_t{0}, std::uint64_t{table}})
        for (int i = 7; i >= 0; --i) out.push_back(static_cast<char>((v >> (i * 8)) & 0xff));
    return out;
}

constexpr double k1920 = -1577923200;  // 1920-01-01T00:00:00Z

}  // namespace

// What a list stores is what is read: the stored double of a binary date,
// however far from 2001 and whichever side of it, and a date of any year in
// XML. Each survives a save in either form.
TEST(PlistDate, FarAndNearDatesReadAsStoredAndSurviveASave) {
    auto read = base::plistParse(binaryDates(k1920 - 978307200.0, 0.5));
    ASSERT_TRUE(read);
    EXPECT_EQ(base::plistDateSeconds((*read)["a"]), k1920) << "1920 read from a binary list";
    EXPECT_EQ(base::plistDateSeconds((*read)["b"]), 978307200.5);
    read = base::plistParse(binaryDates(-0.5, 0.5));
    ASSERT_TRUE(read);
    EXPECT_EQ(base::plistDateSeconds((*read)["a"]), 978307199.5) << "2000-12-31T23:59:59.5";
    EXPECT_EQ(base::plistDateSeconds((*read)["b"]), 978307200.5) << "2001-01-01T00:00:00.5";

    // Before 1970 a day's seconds count forward from its midnight, as after.
    const nlohmann::json dates = {{"old", base::plistDate(k1920)},
                                  {"early", base::plistDate(k1920 + 3600)},
                                  {"far", base::plistDate(4102444800.0)}};
    const std::string xml = base::plistToXml(dates);
    EXPECT_NE(xml.find("<date>1920-01-01T00:00:00Z</date>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<date>1920-01-01T01:00:00Z</date>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<date>2100-01-01T00:00:00Z</date>"), std::string::npos) << xml;
    EXPECT_EQ(base::plistParse(xml), dates);
    EXPECT_EQ(base::plistParse(base::plistToBinary(dates)), dates);
    EXPECT_EQ(base::plistParse(base::plistToBinary(*read)), *read);

    // An XML date with a fraction of a second (another program's) is a date,
    // the fraction counted forward on either side of 1970; written again it
    // keeps its whole seconds, as the settings file keeps them.
    read = base::plistParse(
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
        "<key>a</key><date>1920-01-01T01:00:00.25Z</date><key>b</key><date>2026-12-07T06:00:00.5Z</date>"
        "</dict></plist>");
    ASSERT_TRUE(read) << "a fraction taken for damage";
    EXPECT_EQ(base::plistDateSeconds((*read)["a"]), k1920 + 3600.25);
    EXPECT_EQ(base::plistDateSeconds((*read)["b"]), 1796623200.5);
    const std::string again = base::plistToXml(*read);
    EXPECT_NE(again.find("<date>1920-01-01T01:00:00Z</date>"), std::string::npos) << again;
    EXPECT_NE(again.find("<date>2026-12-07T06:00:00Z</date>"), std::string::npos) << again;
    EXPECT_NE(base::plistToXml({{"d", base::plistDate(k1920 + 3599.75)}}).find("<date>1920-01-01T00:59:59Z</date>"),
              std::string::npos)
        << "a fraction before 1970 is rounded down, not towards 1970";

    // Seconds that are no time are refused, with a line naming the key.
    testsupport::LogCapture log;
    read = base::plistParse(binaryDates(std::nan(""), 0.5));
    ASSERT_TRUE(read);
    EXPECT_TRUE((*read)["a"].is_null());
    EXPECT_EQ(log.lines("date of \"a\" holds no time").size(), 1u);
}

// Infinities and NaN are reals like any other: written and read as such, not as 0.
TEST(PlistDate, NonFiniteRealsSurviveASave) {
    const double inf = std::numeric_limits<double>::infinity();
    const nlohmann::json reals = {{"up", inf}, {"down", -inf}, {"nan", std::nan("")}};
    for (const std::string& bytes : {base::plistToXml(reals), base::plistToBinary(reals)}) {
        auto back = base::plistParse(bytes);
        ASSERT_TRUE(back);
        EXPECT_EQ((*back)["up"], inf);
        EXPECT_EQ((*back)["down"], -inf);
        ASSERT_TRUE((*back)["nan"].is_number_float());
        EXPECT_TRUE(std::isnan((*back)["nan"].get<double>()));
    }
}
