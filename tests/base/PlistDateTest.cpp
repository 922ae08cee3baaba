// Dates in property lists stay dates through a read and a write, in either
// form of the list and whatever the local time zone.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

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
