#include "greenscreen/DominantColorFinder.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "greenscreen/KeyingEngine.h"
#include "templates/TEUtils.h"

namespace {

// Per byte value: the channel value, its bin, and the bright and dark tests.
struct ByteTables {
    double value[256];
    int bin[256];
    bool belowBright[256];  // value < 0.6
    bool atLeastDark[256];  // value >= 0.4
    ByteTables() {
        for (int i = 0; i < 256; ++i) {
            value[i] = i / 255.0;
            bin[i] = static_cast<int>(value[i] * 9.0);
            belowBright[i] = value[i] < 0.6;
            atLeastDark[i] = value[i] >= 0.4;
        }
    }
};
const ByteTables& tables() {
    static const ByteTables t;
    return t;
}

// The neighbour offsets of a cell (itself included), in visiting order.
constexpr int kNeighbours[27][3] = {
    {0, 0, 0},   {0, 0, 1},   {0, 0, -1},  {0, 1, 0},   {0, 1, 1},   {0, 1, -1},  {0, -1, 0},
    {0, -1, 1},  {0, -1, -1}, {1, 0, 0},   {1, 0, 1},   {1, 0, -1},  {1, 1, 0},   {1, 1, 1},
    {1, 1, -1},  {1, -1, 0},  {1, -1, 1},  {1, -1, -1}, {-1, 0, 0},  {-1, 0, 1},  {-1, 0, -1},
    {-1, 1, 0},  {-1, 1, 1},  {-1, 1, -1}, {-1, -1, 0}, {-1, -1, 1}, {-1, -1, -1},
};

double rgbDistance(double r1, double g1, double b1, double r2, double g2, double b2) {
    return std::sqrt((r1 - r2) * (r1 - r2) + (g1 - g2) * (g1 - g2) + (b1 - b2) * (b1 - b2));
}

struct Lab {
    double l, a, b;
};

Lab toLab(const QColor& color) {
    const QColor c = color.toRgb();
    auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    const double r = linear(c.redF()), g = linear(c.greenF()), b = linear(c.blueF());
    const double x = (0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / 0.95047;
    const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
    const double z = (0.0193339 * r + 0.1191920 * g + 0.9503041 * b) / 1.08883;
    auto f = [](double t) {
        constexpr double d = 6.0 / 29.0;
        return t > d * d * d ? std::cbrt(t) : t / (3 * d * d) + 4.0 / 29.0;
    };
    const double fx = f(x), fy = f(y), fz = f(z);
    return {116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)};
}

}  // namespace

void DominantColorFinder::clearCells() { cells_.fill(ColorBinCell{}); }

QImage DominantColorFinder::rawPixelDataFromImage(const QImage& image, std::size_t* pixelCount) {
    if (pixelCount) *pixelCount = 0;
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) return {};
    QImage pixels = keying::toPremultiplied(image);
    if (pixels.isNull()) return {};
    if (pixelCount) *pixelCount = static_cast<std::size_t>(pixels.width()) * pixels.height();
    return pixels;
}

void DominantColorFinder::accumulatePixels(const std::uint32_t* pixels, std::size_t count, unsigned flags) {
    const ByteTables& t = tables();
    const bool bright = flags & OnlyBrightColors;
    const bool dark = !bright && (flags & OnlyDarkColors);
    struct Local {
        std::uint64_t hits = 0, r = 0, g = 0, b = 0;
    };
    std::mutex mergeMutex;
    // Integer sums per range, merged at the end: one pass, no allocation per pixel.
    constexpr int kBlock = 1 << 16;
    const int blocks = static_cast<int>((count + kBlock - 1) / kBlock);
    keying::parallelFor(blocks, 4, [&](int begin, int end) {
        std::vector<Local> local(kCells);
        const std::size_t first = static_cast<std::size_t>(begin) * kBlock;
        const std::size_t last = std::min(count, static_cast<std::size_t>(end) * kBlock);
        for (std::size_t i = first; i < last; ++i) {
            const std::uint32_t p = pixels[i];
            const unsigned r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
            if (bright && t.belowBright[r] && t.belowBright[g] && t.belowBright[b]) continue;
            if (dark && (t.atLeastDark[r] || t.atLeastDark[g] || t.atLeastDark[b])) continue;
            Local& cell = local[cellIndex(t.bin[r], t.bin[g], t.bin[b])];
            ++cell.hits;
            cell.r += r;
            cell.g += g;
            cell.b += b;
        }
        std::lock_guard<std::mutex> lock(mergeMutex);
        for (int i = 0; i < kCells; ++i) {
            if (!local[i].hits) continue;
            cells_[i].hitCount += static_cast<std::uint32_t>(local[i].hits);
            cells_[i].redAcc += local[i].r / 255.0;
            cells_[i].greenAcc += local[i].g / 255.0;
            cells_[i].blueAcc += local[i].b / 255.0;
        }
    });
}

std::vector<ColorPeak> DominantColorFinder::findLocalMaxima() const {
    std::vector<ColorPeak> maxima;
    for (int r = 0; r < kBins; ++r) {
        for (int g = 0; g < kBins; ++g) {
            for (int b = 0; b < kBins; ++b) {
                const ColorBinCell& cell = cells_[cellIndex(r, g, b)];
                if (cell.hitCount == 0) continue;
                bool isMaximum = true;
                for (const auto& n : kNeighbours) {
                    const int nr = r + n[0], ng = g + n[1], nb = b + n[2];
                    if (nr < 0 || nr >= kBins || ng < 0 || ng >= kBins || nb < 0 || nb >= kBins) continue;
                    if (cells_[cellIndex(nr, ng, nb)].hitCount > cell.hitCount) {
                        isMaximum = false;
                        break;
                    }
                }
                if (!isMaximum) continue;
                ColorPeak peak;
                peak.cellIndex = static_cast<std::uint32_t>(cellIndex(r, g, b));
                peak.hitCount = cell.hitCount;
                peak.red = cell.redAcc / cell.hitCount;
                peak.green = cell.greenAcc / cell.hitCount;
                peak.blue = cell.blueAcc / cell.hitCount;
                peak.brightness = std::max(std::max(peak.red, peak.green), peak.blue);
                maxima.push_back(peak);
            }
        }
    }
    // Equal counts keep their visiting order.
    std::stable_sort(maxima.begin(), maxima.end(),
                     [](const ColorPeak& a, const ColorPeak& b) { return a.hitCount > b.hitCount; });
    return maxima;
}

std::optional<std::vector<ColorPeak>> DominantColorFinder::findLocalMaximaInImage(const QImage& image, unsigned flags) {
    clearCells();
    std::size_t count = 0;
    const QImage pixels = rawPixelDataFromImage(image, &count);
    if (pixels.isNull()) return std::nullopt;
    if (pixels.bytesPerLine() == pixels.width() * 4) {
        accumulatePixels(reinterpret_cast<const std::uint32_t*>(pixels.constBits()), count, flags);
    } else {
        for (int y = 0; y < pixels.height(); ++y) {
            accumulatePixels(reinterpret_cast<const std::uint32_t*>(pixels.constScanLine(y)), pixels.width(), flags);
        }
    }
    return findLocalMaxima();
}

std::optional<std::vector<ColorPeak>> DominantColorFinder::findAndSortMaximaInImage(const QImage& image,
                                                                                  unsigned flags) {
    auto maxima = findLocalMaximaInImage(image, flags);
    if (!maxima) return maxima;
    if (flags & OnlyDistinctColors) *maxima = filterDistinctMaxima(*maxima, 0.2);
    if (flags & OrderByBrightness) {
        *maxima = orderByBrightness(std::move(*maxima));
    } else if (flags & OrderByDarkness) {
        *maxima = orderByDarkness(std::move(*maxima));
    }
    return maxima;
}

std::vector<ColorPeak> DominantColorFinder::filterDistinctMaxima(const std::vector<ColorPeak>& maxima,
                                                                 double threshold) {
    std::vector<ColorPeak> kept;
    for (std::size_t i = 0; i < maxima.size(); ++i) {
        bool distinct = true;
        for (std::size_t j = 0; j < i; ++j) {
            const ColorPeak& a = maxima[i];
            const ColorPeak& b = maxima[j];
            if (rgbDistance(a.red, a.green, a.blue, b.red, b.green, b.blue) < threshold) {
                distinct = false;
                break;
            }
        }
        if (distinct) kept.push_back(maxima[i]);
    }
    return kept;
}

std::vector<ColorPeak> DominantColorFinder::filterMaxima(const std::vector<ColorPeak>& maxima,
                                                         const QColor& tooCloseToColor) {
    const QColor c = tooCloseToColor.toRgb();
    std::vector<ColorPeak> kept;
    for (const ColorPeak& p : maxima) {
        if (rgbDistance(p.red, p.green, p.blue, c.redF(), c.greenF(), c.blueF()) >= 0.5) kept.push_back(p);
    }
    return kept;
}

std::vector<ColorPeak> DominantColorFinder::orderByBrightness(std::vector<ColorPeak> maxima) {
    std::stable_sort(maxima.begin(), maxima.end(),
                     [](const ColorPeak& a, const ColorPeak& b) { return a.brightness > b.brightness; });
    return maxima;
}

std::vector<ColorPeak> DominantColorFinder::orderByDarkness(std::vector<ColorPeak> maxima) {
    std::stable_sort(maxima.begin(), maxima.end(),
                     [](const ColorPeak& a, const ColorPeak& b) { return a.brightness < b.brightness; });
    return maxima;
}

std::vector<ColorPeak> DominantColorFinder::performAdaptiveDistinctFilteringForMaxima(
    const std::vector<ColorPeak>& maxima, std::size_t count) {
    if (maxima.size() <= count) return maxima;
    std::vector<ColorPeak> current = maxima;
    double threshold = 0.1;
    for (int pass = 0; pass < 10; ++pass) {
        std::vector<ColorPeak> filtered = filterDistinctMaxima(current, threshold);
        if (filtered.size() <= count) break;
        current = std::move(filtered);
        threshold += 0.05;
    }
    current.resize(std::min(current.size(), count));
    return current;
}

std::optional<std::vector<ColorPeak>> DominantColorFinder::extractAndFilterMaximaFromImage(const QImage& image,
                                                                                         unsigned flags) {
    auto maxima = findAndSortMaximaInImage(image, flags);
    if (!maxima) return maxima;
    if (flags & AvoidBlack) *maxima = filterMaxima(*maxima, QColor::fromRgbF(0, 0, 0));
    if (flags & AvoidWhite) *maxima = filterMaxima(*maxima, QColor::fromRgbF(1, 1, 1));
    return maxima;
}

std::vector<QColor> DominantColorFinder::colorsFromMaxima(const std::vector<ColorPeak>& maxima) {
    std::vector<QColor> colors;
    colors.reserve(maxima.size());
    for (const ColorPeak& p : maxima) {
        colors.push_back(QColor::fromRgbF(static_cast<float>(p.red), static_cast<float>(p.green),
                                          static_cast<float>(p.blue), 1.0f));
    }
    return colors;
}

std::vector<QColor> DominantColorFinder::extractColorsFromImage(const QImage& image, unsigned flags) {
    auto maxima = extractAndFilterMaximaFromImage(image, flags);
    return maxima ? colorsFromMaxima(*maxima) : std::vector<QColor>{};
}

std::vector<QColor> DominantColorFinder::extractColorsFromImage(const QImage& image, unsigned flags,
                                                                std::size_t count) {
    auto maxima = extractAndFilterMaximaFromImage(image, flags);
    if (!maxima) return {};
    return colorsFromMaxima(performAdaptiveDistinctFilteringForMaxima(*maxima, count));
}

std::vector<QColor> DominantColorFinder::extractColorsFromImage(const QImage& image, unsigned flags,
                                                                const QColor& avoidColor) {
    auto maxima = extractAndFilterMaximaFromImage(image, flags);
    if (!maxima) return {};
    return colorsFromMaxima(filterMaxima(*maxima, avoidColor));
}

std::vector<QColor> DominantColorFinder::extractBrightColorsFromImage(const QImage& image, const QColor& avoidColor,
                                                                      std::size_t count) {
    auto maxima = extractAndFilterMaximaFromImage(image, OnlyBrightColors);
    if (!maxima) return {};
    if (avoidColor.isValid()) *maxima = filterMaxima(*maxima, avoidColor);
    return colorsFromMaxima(performAdaptiveDistinctFilteringForMaxima(*maxima, count));
}

std::vector<QColor> DominantColorFinder::extractDarkColorsFromImage(const QImage& image, const QColor& avoidColor,
                                                                    std::size_t count) {
    auto maxima = extractAndFilterMaximaFromImage(image, OnlyDarkColors);
    if (!maxima) return {};
    if (avoidColor.isValid()) *maxima = filterMaxima(*maxima, avoidColor);
    return colorsFromMaxima(performAdaptiveDistinctFilteringForMaxima(*maxima, count));
}

double DominantColorFinder::getDistance(const QColor& a, const QColor& b) {
    const Lab la = toLab(a), lb = toLab(b);
    return std::sqrt((la.l - lb.l) * (la.l - lb.l) + (la.a - lb.a) * (la.a - lb.a) + (la.b - lb.b) * (la.b - lb.b));
}

QColor DominantColorFinder::findClosestColorToGreenOrBlue(const std::vector<QColor>& colors) {
    if (colors.empty()) return {};
    const QColor reference = TEUtils::getColorFromHexString("00CC66");
    QColor best = colors.front();
    double bestDistance = getDistance(best, reference);
    for (std::size_t i = 1; i < colors.size(); ++i) {
        const double d = getDistance(colors[i], reference);
        if (d < bestDistance) {
            best = colors[i];
            bestDistance = d;
        }
    }
    return best;
}

QColor DominantColorFinder::findBestColorForAutoModeInImage(const QImage& image) {
    DominantColorFinder finder;
    return findClosestColorToGreenOrBlue(finder.extractColorsFromImage(image, OnlyDistinctColors, 4));
}
