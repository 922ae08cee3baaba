#pragma once
// Dominant colours of an image from a 10 x 10 x 10 colour cube: local
// maxima of the colour histogram, optionally filtered, ordered and thinned
// to a few distinct ones. The automatic key colour is the dominant colour
// nearest (CIE76) to the reference green 00CC66.
#include <QColor>
#include <QImage>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct ColorBinCell {
    std::uint32_t hitCount = 0;
    double redAcc = 0;  // sums of the channel values (0..1) of the pixels counted
    double greenAcc = 0;
    double blueAcc = 0;
};

struct ColorPeak {
    std::uint32_t hitCount = 0;
    std::uint32_t cellIndex = 0;
    double red = 0, green = 0, blue = 0;  // mean colour of the cell, 0..1
    double brightness = 0;                // the largest of the three
};

class DominantColorFinder {
public:
    static constexpr int kBins = 10;
    static constexpr int kCells = kBins * kBins * kBins;
    enum Flags : unsigned {
        OnlyBrightColors = 1,
        OnlyDarkColors = 2,
        OnlyDistinctColors = 4,
        OrderByBrightness = 8,
        OrderByDarkness = 16,
        AvoidWhite = 32,
        AvoidBlack = 64,
    };

    // The automatic key colour: of up to four distinct dominant colours, the
    // one nearest to 00CC66. Invalid when the image gives none.
    static QColor findBestColorForAutoModeInImage(const QImage& image);
    // The colour nearest to 00CC66 (the earliest on a tie); invalid for none.
    static QColor findClosestColorToGreenOrBlue(const std::vector<QColor>& colors);
    // CIE76: the Euclidean distance in CIE L*a*b* (sRGB, D65).
    static double getDistance(const QColor& a, const QColor& b);

    std::vector<QColor> extractColorsFromImage(const QImage& image, unsigned flags);
    std::vector<QColor> extractColorsFromImage(const QImage& image, unsigned flags, std::size_t count);
    std::vector<QColor> extractColorsFromImage(const QImage& image, unsigned flags, const QColor& avoidColor);
    std::vector<QColor> extractBrightColorsFromImage(const QImage& image, const QColor& avoidColor, std::size_t count);
    std::vector<QColor> extractDarkColorsFromImage(const QImage& image, const QColor& avoidColor, std::size_t count);

    // The steps the extraction is built from.
    void clearCells();
    // The image as premultiplied 32-bit pixels (no copy for RGB32 and
    // premultiplied ARGB32); null when it cannot be read.
    static QImage rawPixelDataFromImage(const QImage& image, std::size_t* pixelCount);
    // Adds pixels (premultiplied ARGB32 words) to the cube.
    void accumulatePixels(const std::uint32_t* pixels, std::size_t count, unsigned flags);
    // The local maxima of the cube as it stands, largest hit count first.
    std::vector<ColorPeak> findLocalMaxima() const;
    // Clears the cube, counts the image and finds its maxima; none when the
    // image cannot be read.
    std::optional<std::vector<ColorPeak>> findLocalMaximaInImage(const QImage& image, unsigned flags);
    std::optional<std::vector<ColorPeak>> findAndSortMaximaInImage(const QImage& image, unsigned flags);
    static std::vector<ColorPeak> filterDistinctMaxima(const std::vector<ColorPeak>& maxima, double threshold);
    static std::vector<ColorPeak> filterMaxima(const std::vector<ColorPeak>& maxima, const QColor& tooCloseToColor);
    static std::vector<ColorPeak> orderByBrightness(std::vector<ColorPeak> maxima);
    static std::vector<ColorPeak> orderByDarkness(std::vector<ColorPeak> maxima);
    static std::vector<ColorPeak> performAdaptiveDistinctFilteringForMaxima(const std::vector<ColorPeak>& maxima,
                                                                           std::size_t count);
    std::optional<std::vector<ColorPeak>> extractAndFilterMaximaFromImage(const QImage& image, unsigned flags);
    static std::vector<QColor> colorsFromMaxima(const std::vector<ColorPeak>& maxima);

    const std::array<ColorBinCell, kCells>& cells() const { return cells_; }
    static int cellIndex(int r, int g, int b) { return r + kBins * g + kBins * kBins * b; }

private:
    std::array<ColorBinCell, kCells> cells_{};
};
