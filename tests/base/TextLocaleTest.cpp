#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <string>

#include "ScopedLocale.h"
#include "TempDir.h"
#include "base/Http.h"
#include "base/Text.h"

namespace {

// Switches the C locale to a Latin-1 one built for the test with localedef,
// the way a desktop session with such a locale sets it inside a Qt program.
class Latin1Locale : public ::testing::Test {
protected:
    void SetUp() override {
        std::string command = "localedef -i en_US -f ISO-8859-1 '" + dir_.path() + "/en_US.ISO-8859-1' >/dev/null 2>&1";
        int rc = std::system(command.c_str());
        if (rc != 0 || !WIFEXITED(rc) || WEXITSTATUS(rc) != 0) GTEST_SKIP() << "localedef cannot build a Latin-1 locale";
        ::setenv("LOCPATH", dir_.path().c_str(), 1);
        if (!std::setlocale(LC_ALL, "en_US.ISO-8859-1")) GTEST_SKIP() << "the Latin-1 locale does not load";
        ASSERT_TRUE(std::isalnum(0xE9)) << "the locale should class e-acute as a letter";
    }
    void TearDown() override {
        std::setlocale(LC_ALL, "C");
        ::unsetenv("LOCPATH");
    }
    testsupport::TempDir dir_;
};

}  // namespace

TEST_F(Latin1Locale, UrlEncodingEscapesEveryByteOfUtf8) {
    EXPECT_EQ(base::urlEncode("caf\xC3\xA9"), "caf%C3%A9");
    EXPECT_EQ(base::urlEncode("\xC3\x80\xFF\xAA"), "%C3%80%FF%AA");
    EXPECT_EQ(base::urlEncode("Az09-._~ /"), "Az09-._~%20%2F");
    EXPECT_EQ(base::formEncode({{"n\xC3\xA4me", "\xC3\xA9t\xC3\xA9"}}), "n%C3%A4me=%C3%A9t%C3%A9");
}

TEST_F(Latin1Locale, CaseFoldingAndTrimmingTouchOnlyAscii) {
    EXPECT_EQ(base::toLowerAscii("CAF\xC3\x89 X-Amz"), "caf\xC3\x89 x-amz");
    EXPECT_EQ(base::toUpperAscii("caf\xC3\xA9 %2f"), "CAF\xC3\xA9 %2F");
    EXPECT_TRUE(base::equalsIgnoringAsciiCase("Content-TYPE", "content-type"));
    EXPECT_FALSE(base::equalsIgnoringAsciiCase("\xC3\xA9", "\xC3\x89"));
    EXPECT_FALSE(base::equalsIgnoringAsciiCase("ab", "abc"));
    EXPECT_EQ(base::trim(" \t\r\n value \xA0\v\f"), "value \xA0");
    EXPECT_EQ(base::trim(" \n\t "), "");
    EXPECT_FALSE(base::isAsciiAlnum('\xE9'));
    EXPECT_FALSE(base::isAsciiAlpha('\xC3'));
    EXPECT_TRUE(base::isAsciiHexDigit('f'));
    EXPECT_FALSE(base::isAsciiHexDigit('g'));
}

TEST_F(Latin1Locale, HeaderLookupIgnoresAsciiCaseOnly) {
    base::HttpResponse r;
    r.headers = {{"Content-Type", "a"}, {"X-\xC3\x89tat", "b"}};
    EXPECT_EQ(r.header("content-type").value_or(""), "a");
    EXPECT_EQ(r.header("x-\xC3\x89TAT").value_or(""), "b");
    EXPECT_FALSE(r.header("x-\xC3\xA9tat"));
    EXPECT_FALSE(r.header("x-\xE3\x89tat"));
    EXPECT_FALSE(r.header("content-typ"));
}

// Under a session locale with a decimal comma, printf and strtod write and
// read "1,5"; settings files, protocols and logs keep the point.
TEST(NumberText, ReadAndWrittenWithAPointUnderACommaLocale) {
    testsupport::ScopedLocale comma("de_DE", "UTF-8");
    if (!comma.ok()) GTEST_SKIP() << "cannot build a de_DE locale";
    EXPECT_EQ(base::parseDouble("1.5"), 1.5);
    EXPECT_EQ(base::parseDouble(" +2.25"), 2.25);
    EXPECT_EQ(base::parseDouble("-1e3"), -1000.0);
    EXPECT_FALSE(base::parseDouble("1,5"));
    EXPECT_FALSE(base::parseDouble("1.5 "));
    EXPECT_FALSE(base::parseDouble(""));
    EXPECT_FALSE(base::parseDouble("abc"));
    EXPECT_FALSE(base::parseDouble("1e999"));
    EXPECT_EQ(base::parseLeadingDouble("  12.75kg"), 12.75);
    EXPECT_EQ(base::parseLeadingDouble("7"), 7.0);
    EXPECT_FALSE(base::parseLeadingDouble("kg12"));
    EXPECT_EQ(base::formatFixed(1.5), "1.500000");
    EXPECT_EQ(base::formatFixed(-0.25, 2), "-0.25");
}
