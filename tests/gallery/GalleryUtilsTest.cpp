#include <gtest/gtest.h>

#include <QImage>

#include <cstdlib>
#include <optional>

#include "GalleryTestEnv.h"
#include "gallery/GalleryThumbnails.h"
#include "gallery/MyHTTPConnection.h"
#include "gallery/PostHTTPServerUtilis.h"

using P = PostHTTPServerUtilis;

TEST(GalleryQuery, ParsesParametersLikeTheClientsSendThem) {
    EXPECT_TRUE(P::parseHTTPURLParamsFromString("/list").empty());
    auto params = P::parseHTTPURLParamsFromString("/list?start_time=&a=x%20y+z&b&a=2&c=1=2&bad=%zz&d=%C3%A9");
    EXPECT_EQ(params.at("start_time"), "");
    EXPECT_EQ(params.at("a"), "2") << "a later parameter replaces an earlier one";
    EXPECT_EQ(params.at("b"), "");
    EXPECT_EQ(params.at("c"), "1");
    EXPECT_EQ(params.at("d"), "é");
    EXPECT_EQ(params.count("bad"), 0u) << "an undecodable value is left out";
    EXPECT_EQ(P::parseHTTPURLParamsFromString("/l?q=x%20y+z").at("q"), "x y+z");
}

// Sets TZ for one scope and puts the previous one back.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedZone() {
        if (previous_) ::setenv("TZ", previous_->c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> previous_;
};

TEST(GalleryQuery, StartTimeIsReadOnTheBoothsClock) {
    using namespace std::chrono;
    const long long gmt = 1772323200000LL + 37230500LL;  // 2026-03-01 10:20:30.500 GMT
    {
        ScopedZone zone("UTC0");
        auto t = P::parseStartTime("2026-03-01T10:20:30.37230500");
        ASSERT_TRUE(t);
        EXPECT_EQ(duration_cast<milliseconds>(t->time_since_epoch()).count(), gmt);
    }
    {
        ScopedZone zone("XST-5:30");  // east of GMT: the same wall clock is earlier
        auto t = P::parseStartTime("2026-03-01T10:20:30.37230500");
        ASSERT_TRUE(t);
        EXPECT_EQ(duration_cast<milliseconds>(t->time_since_epoch()).count(), gmt - 19800000LL);
    }
    {
        ScopedZone zone("YST8");  // west of GMT: later
        auto t = P::parseStartTime("2026-03-01T10:20:30.37230500");
        ASSERT_TRUE(t);
        EXPECT_EQ(duration_cast<milliseconds>(t->time_since_epoch()).count(), gmt + 28800000LL);
    }
    EXPECT_FALSE(P::parseStartTime(""));
    EXPECT_FALSE(P::parseStartTime("2026-03-01"));
    EXPECT_FALSE(P::parseStartTime("2026-13-01T10:20:30.0"));
    EXPECT_FALSE(P::parseStartTime("2026-03-01T10:20:30.99999999"));
}

TEST(GalleryQuery, DateCreatedReadsBackAsTheSameMomentAcrossDaylightSavingChanges) {
    using namespace std::chrono;
    ScopedZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // Every 7 min 13.517 s over the two days the clocks change in 2026.
    for (long long start : {1774746000000LL - 43200000LL, 1792890000000LL - 43200000LL}) {
        for (long long ms = start; ms < start + 86400000LL; ms += 433517) {
            P::TimePoint t{milliseconds(ms)};
            std::string text = P::formatDate(t);
            auto back = P::parseStartTime(text);
            ASSERT_TRUE(back) << text;
            if (*back == t) continue;
            // The hour that repeats when clocks go back reads as its first pass.
            EXPECT_EQ(*back, t - hours(1)) << text;
            EXPECT_EQ(P::formatDate(t - hours(1)), text);
        }
    }
}

TEST(GalleryQuery, DateCreatedCarriesTheMillisecondsOfTheLocalDay) {
    ScopedZone zone("UTC0");
    auto t = P::TimePoint(std::chrono::milliseconds(1772323200000LL + 3723004LL));
    EXPECT_EQ(P::formatDate(t), "2026-03-01T01:02:03.3723004");
}

TEST(GalleryNames, OnlyPlainNamesPassAndEscapesMustBeWellFormed) {
    for (const char* ok : {"IMG_0042.jpg", "Zoë party.jpg", "a.b.jpg", "a..b.jpg", "a..jpg", "x..."})
        EXPECT_TRUE(MyHTTPConnection::isPlainFileName(ok)) << ok;
    for (std::string bad : std::vector<std::string>{"", ".", "..", ".jpg", "../a.jpg", "a/b.jpg", "a\\b.jpg",
                                                    "a/../b.jpg", std::string("a\0b.jpg", 7)})
        EXPECT_FALSE(MyHTTPConnection::isPlainFileName(bad)) << bad;
    EXPECT_EQ(P::percentDecode("a%2Fb+c").value_or("?"), "a/b+c");
    EXPECT_FALSE(P::percentDecode("%"));
    EXPECT_FALSE(P::percentDecode("%4"));
    EXPECT_FALSE(P::percentDecode("%C3"));
    EXPECT_FALSE(P::percentDecode("%ED%A0%80")) << "surrogates are not UTF-8";
}

TEST(GalleryImages, FittingCentresAlongTheAxisWithRoomToSpare) {
    EXPECT_EQ(P::fittedRect({300, 600}, {175, 175}), QRectF(43.75, 0, 87.5, 175));
    EXPECT_EQ(P::fittedRect({700, 350}, {175, 175}), QRectF(0, 43.75, 175, 87.5));
    EXPECT_EQ(P::fittedRect({50, 50}, {175, 175}), QRectF(0, 0, 175, 175));
    EXPECT_TRUE(P::scaleImage(QImage(), {175, 175}).isNull());
    QImage same(175, 175, QImage::Format_RGB32);
    same.fill(Qt::blue);
    EXPECT_EQ(P::scaleImage(same, {175, 175}).pixel(0, 0), QColor(Qt::blue).rgb());
}

TEST(GalleryImages, ThumbnailOfALandscapePhotoIsLetterboxedVertically) {
    gallerytest::ensureEnvironment();
    testsupport::TempDir dir;
    ASSERT_TRUE(gallerytest::writeJpeg(dir.file("wide.jpg"), 1600, 800, Qt::green));
    QImage thumb = GalleryThumbnails::makeThumbnail(dir.file("wide.jpg"));
    ASSERT_EQ(thumb.size(), QSize(175, 175));
    EXPECT_GT(qGreen(thumb.pixel(87, 87)), 200);
    EXPECT_LT(qGreen(thumb.pixel(87, 10)), 40);
    EXPECT_LT(qGreen(thumb.pixel(87, 165)), 40);
    EXPECT_TRUE(GalleryThumbnails::makeThumbnail(dir.file("none.jpg")).isNull());
}
