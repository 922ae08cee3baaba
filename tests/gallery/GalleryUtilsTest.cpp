#include <gtest/gtest.h>

#include <QImage>

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

TEST(GalleryQuery, StartTimeIsTheDayInGmtPlusTheMillisecondsOfTheDay) {
    using namespace std::chrono;
    auto t = P::parseStartTime("2026-03-01T10:20:30.37230500");
    ASSERT_TRUE(t);
    EXPECT_EQ(duration_cast<milliseconds>(t->time_since_epoch()).count(), 1772323200000LL + 37230500LL);
    EXPECT_FALSE(P::parseStartTime(""));
    EXPECT_FALSE(P::parseStartTime("2026-03-01"));
    EXPECT_FALSE(P::parseStartTime("2026-13-01T10:20:30.0"));
    EXPECT_FALSE(P::parseStartTime("2026-03-01T10:20:30.99999999"));
}

TEST(GalleryQuery, DateCreatedCarriesTheMillisecondsOfTheLocalDay) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    auto t = P::TimePoint(std::chrono::milliseconds(1772323200000LL + 3723004LL));
    EXPECT_EQ(P::formatDate(t), "2026-03-01T01:02:03.3723004");
}

TEST(GalleryNames, OnlyPlainNamesPassAndEscapesMustBeWellFormed) {
    for (const char* ok : {"IMG_0042.jpg", "Zoë party.jpg", "a.b.jpg"})
        EXPECT_TRUE(MyHTTPConnection::isPlainFileName(ok)) << ok;
    for (std::string bad : std::vector<std::string>{"", ".jpg", "../a.jpg", "a/b.jpg", "a\\b.jpg", "a..jpg", std::string("a\0b.jpg", 7)})
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
