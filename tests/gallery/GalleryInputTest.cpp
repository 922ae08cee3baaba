// What a phone may send the gallery and what a prints folder may hold that
// a guest should never see.
#include <gtest/gtest.h>

#include <fstream>

#include "GalleryTestEnv.h"
#include "gallery/PostHTTPServerUtilis.h"

using P = PostHTTPServerUtilis;

TEST(GalleryInput, EscapesAtTheEndDecodeAndOverlongFormsAreRefused) {
    EXPECT_EQ(P::percentDecode("IMG_0001%2Ejpg").value_or("?"), "IMG_0001.jpg");
    EXPECT_EQ(P::percentDecode("%41").value_or("?"), "A");
    // "/" and "." spelt in more bytes than needed must not slip past the name check.
    EXPECT_FALSE(P::percentDecode("..%C0%AFsecret.jpg"));
    EXPECT_FALSE(P::percentDecode("%E0%80%AE"));
    EXPECT_FALSE(P::percentDecode("%F4%90%80%80")) << "beyond the last code point";
}

TEST(GalleryInput, StartTimesOutsideADayAreRefused) {
    EXPECT_FALSE(P::parseStartTime("2026-03-01T24:00:00.0"));
    EXPECT_FALSE(P::parseStartTime("2026-03-01T10:60:00.0"));
    EXPECT_FALSE(P::parseStartTime("2026-03-00T10:00:00.0"));
    EXPECT_TRUE(P::parseStartTime("2026-03-01T23:59:59.86399999"));
}

TEST(GalleryInput, HiddenFilesInThePrintsFolderAreNotListed) {
    gallerytest::ensureEnvironment();
    testsupport::TempDir dir;
    ASSERT_TRUE(gallerytest::writeJpeg(dir.file("b.jpg"), 20, 20));
    ASSERT_TRUE(gallerytest::writeJpeg(dir.file("a.jpg"), 20, 20));
    std::ofstream(dir.file("._a.jpg")) << "resource fork of a copy from another computer";
    auto items = P::getListOfImagesAfterDate(std::nullopt, "file://" + dir.path());
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0]["FileName"], "a.jpg");
    EXPECT_EQ((*items)[1]["FileName"], "b.jpg");
}
