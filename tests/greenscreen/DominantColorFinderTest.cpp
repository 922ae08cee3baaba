#include <gtest/gtest.h>

#include <QPainter>

#include <vector>

#include "GreenScreenTestSupport.h"
#include "greenscreen/DominantColorFinder.h"

namespace {

std::uint32_t px(int r, int g, int b) { return qRgb(r, g, b); }

ColorPeak peak(double r, double g, double b, std::uint32_t hits) {
    ColorPeak p;
    p.red = r;
    p.green = g;
    p.blue = b;
    p.hitCount = hits;
    p.brightness = std::max({r, g, b});
    return p;
}

// An image made of horizontal bands: each colour with its number of rows.
QImage bands(const std::vector<std::pair<QColor, int>>& parts, int width = 10) {
    int h = 0;
    for (auto& p : parts) h += p.second;
    QImage image(width, h, QImage::Format_RGB32);
    QPainter painter(&image);
    int y = 0;
    for (auto& p : parts) {
        painter.fillRect(0, y, width, p.second, p.first);
        y += p.second;
    }
    return image;
}

}  // namespace

class DominantColorFinderTest : public GreenScreenTest {};

TEST_F(DominantColorFinderTest, BinsChannelEdgesAndTheBrightAndDarkTests) {
    DominantColorFinder finder;
    // 254/255 * 9 truncates to 8; only 255 reaches bin 9. 28/255 * 9 = 0.988 is bin 0, 29 bin 1.
    const std::vector<std::uint32_t> pixels = {px(255, 0, 0), px(254, 0, 0), px(0, 28, 0), px(0, 29, 0)};
    finder.accumulatePixels(pixels.data(), pixels.size(), 0);
    EXPECT_EQ(finder.cells()[DominantColorFinder::cellIndex(9, 0, 0)].hitCount, 1u);
    EXPECT_EQ(finder.cells()[DominantColorFinder::cellIndex(8, 0, 0)].hitCount, 1u);
    EXPECT_EQ(finder.cells()[DominantColorFinder::cellIndex(0, 0, 0)].hitCount, 1u);
    EXPECT_EQ(finder.cells()[DominantColorFinder::cellIndex(0, 1, 0)].hitCount, 1u);
    EXPECT_DOUBLE_EQ(finder.cells()[DominantColorFinder::cellIndex(8, 0, 0)].redAcc, 254 / 255.0);

    // Bright: skipped when all three are below 0.6 (153/255 is 0.6 exactly).
    finder.clearCells();
    const std::vector<std::uint32_t> grey = {px(152, 152, 152), px(153, 0, 0), px(0, 0, 153)};
    finder.accumulatePixels(grey.data(), grey.size(), DominantColorFinder::OnlyBrightColors);
    std::uint32_t total = 0;
    for (auto& c : finder.cells()) total += c.hitCount;
    EXPECT_EQ(total, 2u);
    // Dark (ignored when bright is also asked): skipped when any is at or above 0.4 (102/255).
    finder.clearCells();
    const std::vector<std::uint32_t> dark = {px(101, 101, 101), px(0, 102, 0), px(10, 10, 10)};
    finder.accumulatePixels(dark.data(), dark.size(), DominantColorFinder::OnlyDarkColors);
    total = 0;
    for (auto& c : finder.cells()) total += c.hitCount;
    EXPECT_EQ(total, 2u);
    finder.clearCells();
    finder.accumulatePixels(dark.data(), dark.size(),
                            DominantColorFinder::OnlyDarkColors | DominantColorFinder::OnlyBrightColors);
    total = 0;
    for (auto& c : finder.cells()) total += c.hitCount;
    EXPECT_EQ(total, 0u);
}

TEST_F(DominantColorFinderTest, OnlyAStrictlyGreaterNeighbourDisqualifiesAMaximum) {
    DominantColorFinder finder;
    std::vector<std::uint32_t> pixels;
    // Two neighbouring cells with equal counts: both are maxima.
    for (int i = 0; i < 5; ++i) pixels.push_back(px(0, 0, 0));
    for (int i = 0; i < 5; ++i) pixels.push_back(px(0, 0, 30));
    // A cell beside a bigger one (diagonal neighbour) is not.
    for (int i = 0; i < 9; ++i) pixels.push_back(px(255, 255, 255));
    for (int i = 0; i < 3; ++i) pixels.push_back(px(240, 240, 240));
    finder.accumulatePixels(pixels.data(), pixels.size(), 0);
    const auto maxima = finder.findLocalMaxima();
    ASSERT_EQ(maxima.size(), 3u);
    EXPECT_EQ(maxima[0].hitCount, 9u);  // largest first
    EXPECT_EQ(maxima[0].cellIndex, static_cast<std::uint32_t>(DominantColorFinder::cellIndex(9, 9, 9)));
    EXPECT_DOUBLE_EQ(maxima[0].brightness, 1.0);
    EXPECT_EQ(maxima[1].hitCount, 5u);
    EXPECT_EQ(maxima[2].hitCount, 5u);
    EXPECT_NEAR(maxima[1].blue + maxima[2].blue, 30 / 255.0, 1e-12);
}

TEST_F(DominantColorFinderTest, DistinctFilteringComparesWithEveryEarlierMaximum) {
    // B is too close to A and dropped; C is far from A but close to the dropped B: dropped too.
    const std::vector<ColorPeak> maxima = {peak(0, 0, 0, 10), peak(0.15, 0, 0, 9), peak(0.3, 0, 0, 8),
                                           peak(1, 1, 1, 7)};
    const auto kept = DominantColorFinder::filterDistinctMaxima(maxima, 0.2);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].hitCount, 10u);
    EXPECT_EQ(kept[1].hitCount, 7u);

    const auto far = DominantColorFinder::filterMaxima(maxima, QColor::fromRgbF(0, 0, 0));
    ASSERT_EQ(far.size(), 1u);  // only white is 0.5 or more from black
    EXPECT_EQ(far[0].hitCount, 7u);

    const auto bright = DominantColorFinder::orderByBrightness(maxima);
    EXPECT_EQ(bright.front().hitCount, 7u);
    EXPECT_EQ(DominantColorFinder::orderByDarkness(maxima).front().hitCount, 10u);
}

TEST_F(DominantColorFinderTest, AdaptiveFilteringKeepsTheListBeforeItGetsTooShort) {
    // Spacings 0.12 apart: threshold 0.1 keeps all six; 0.15 keeps only the first,
    // since each is compared with its (dropped) predecessor too.
    std::vector<ColorPeak> maxima;
    for (int i = 0; i < 6; ++i) maxima.push_back(peak(i * 0.12, 0, 0, 100 - i));
    auto four = DominantColorFinder::performAdaptiveDistinctFilteringForMaxima(maxima, 4);
    ASSERT_EQ(four.size(), 4u);  // the 0.1 list, cut to four
    for (int i = 0; i < 4; ++i) EXPECT_EQ(four[i].hitCount, static_cast<std::uint32_t>(100 - i));
    EXPECT_EQ(DominantColorFinder::performAdaptiveDistinctFilteringForMaxima(maxima, 6).size(), 6u);
    EXPECT_EQ(DominantColorFinder::performAdaptiveDistinctFilteringForMaxima(maxima, 3).size(), 3u);
}

TEST_F(DominantColorFinderTest, FiveFarApartColoursGiveTheFourMostFrequent) {
    DominantColorFinder finder;
    const QImage image = bands({{QColor(255, 0, 0), 50},
                                {QColor(0, 255, 0), 40},
                                {QColor(0, 0, 255), 30},
                                {QColor(255, 255, 255), 20},
                                {QColor(0, 0, 0), 10}});
    const auto colors = finder.extractColorsFromImage(image, DominantColorFinder::OnlyDistinctColors, 4);
    ASSERT_EQ(colors.size(), 4u);
    EXPECT_EQ(colors[0].rgb(), qRgb(255, 0, 0));
    EXPECT_EQ(colors[1].rgb(), qRgb(0, 255, 0));
    EXPECT_EQ(colors[2].rgb(), qRgb(0, 0, 255));
    EXPECT_EQ(colors[3].rgb(), qRgb(255, 255, 255));
    // Avoiding white and black drops them from the maxima.
    const auto noWhite = finder.extractColorsFromImage(
        image, DominantColorFinder::AvoidWhite | DominantColorFinder::AvoidBlack);
    EXPECT_EQ(noWhite.size(), 3u);
}

TEST_F(DominantColorFinderTest, AutomaticKeyColourIsTheDominantColourNearestTheReferenceGreen) {
    // A flat image: its colour.
    EXPECT_EQ(DominantColorFinder::findBestColorForAutoModeInImage(flatImage(20, 20, QColor(40, 170, 90))).rgb(),
              qRgb(40, 170, 90));
    // The reference colour itself is at distance 0.
    const QColor reference = QColor::fromRgbF(0, 0.8, 0.4);
    EXPECT_NEAR(DominantColorFinder::getDistance(reference, QColor(0, 204, 102)), 0.0, 1e-9);
    EXPECT_NEAR(DominantColorFinder::getDistance(Qt::white, Qt::black), 100.0, 1e-4);
    // A guest in front of a bigger blue-ish area and a smaller green screen: the green wins.
    const QImage scene = bands({{QColor(30, 60, 200), 60}, {QColor(220, 170, 140), 30}, {QColor(20, 190, 80), 25}});
    EXPECT_EQ(DominantColorFinder::findBestColorForAutoModeInImage(scene).rgb(), qRgb(20, 190, 80));
    // On equal distance the earlier colour stays.
    QColor first = reference, second = reference;
    second.setAlphaF(0.5);
    EXPECT_EQ(DominantColorFinder::findClosestColorToGreenOrBlue({first, second}).alphaF(), 1.0);
    // Nothing to choose from, or nothing to read: no colour.
    EXPECT_FALSE(DominantColorFinder::findClosestColorToGreenOrBlue({}).isValid());
    EXPECT_FALSE(DominantColorFinder::findBestColorForAutoModeInImage(QImage()).isValid());
}

TEST_F(DominantColorFinderTest, LargeImagesCountEveryPixelOnce) {
    // Big enough to be counted in parallel ranges.
    const QImage image = bands({{QColor(255, 0, 0), 700}, {QColor(0, 0, 255), 300}}, 1000);
    DominantColorFinder finder;
    const auto maxima = finder.findLocalMaximaInImage(image, 0);
    ASSERT_TRUE(maxima.has_value());
    ASSERT_EQ(maxima->size(), 2u);
    EXPECT_EQ((*maxima)[0].hitCount, 700000u);
    EXPECT_EQ((*maxima)[1].hitCount, 300000u);
    EXPECT_DOUBLE_EQ((*maxima)[0].red, 1.0);
    EXPECT_FALSE(finder.findLocalMaximaInImage(QImage(), 0).has_value());
}
