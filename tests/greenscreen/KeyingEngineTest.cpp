#include <gtest/gtest.h>

#include <QPainter>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <vector>

#include "GreenScreenTestSupport.h"
#include "base/Executor.h"
#include "greenscreen/GreenScreenFilterSettings.h"
#include "greenscreen/GreenScreenFilters.h"
#include "greenscreen/KeyingEngine.h"

namespace {

// The documented key, worked out independently in double precision.
double referenceKept(QColor key, double sensitivity, double smoothness, QRgb pixel) {
    auto cb = [](double r, double g, double b) { return 0.5 - 0.168736 * r - 0.331264 * g + 0.5 * b; };
    auto cr = [](double r, double g, double b) { return 0.5 + 0.5 * r - 0.418688 * g - 0.081312 * b; };
    const double r = qRed(pixel) / 255.0, g = qGreen(pixel) / 255.0, b = qBlue(pixel) / 255.0;
    const double d = std::hypot(cb(r, g, b) - cb(key.redF(), key.greenF(), key.blueF()),
                                cr(r, g, b) - cr(key.redF(), key.greenF(), key.blueF()));
    if (smoothness <= 0) return d <= sensitivity ? 0 : 1;
    const double t = std::clamp((d - sensitivity) / smoothness, 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

QRgb blend(QRgb camera, QRgb background, double a) {
    auto mix = [a](int c, int b) { return static_cast<int>(std::lround(c * a + b * (1 - a))); };
    return qRgba(mix(qRed(camera), qRed(background)), mix(qGreen(camera), qGreen(background)),
                 mix(qBlue(camera), qBlue(background)), mix(qAlpha(camera), qAlpha(background)));
}

const QColor kScreenGreen(0, 204, 102);
const QColor kSkin(230, 180, 150);

// Rows run from the screen green to a skin tone: keyed, in the band, kept.
QImage gradientCamera(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        const double f = static_cast<double>(y) / (h - 1);
        const QColor c(std::lround(kScreenGreen.red() + f * (kSkin.red() - kScreenGreen.red())),
                       std::lround(kScreenGreen.green() + f * (kSkin.green() - kScreenGreen.green())),
                       std::lround(kScreenGreen.blue() + f * (kSkin.blue() - kScreenGreen.blue())));
        for (int x = 0; x < w; ++x) image.setPixel(x, y, c.rgb());
    }
    return image;
}

}  // namespace

class KeyingEngineTest : public GreenScreenTest {};

TEST_F(KeyingEngineTest, KeysByChromaDistanceWithASmoothEdge) {
    // An odd width covers the vectorised loop's tail, many rows the split over cores.
    const QImage camera = gradientCamera(37, 301);
    const QImage background = flatImage(37, 301, QColor(10, 20, 250));
    const float sensitivity = 0.1f, smoothness = 0.2f;
    const QImage out = keying::composite(camera, background, QImage(),
                                         keying::keyParametersFor(kScreenGreen, sensitivity, smoothness));
    ASSERT_EQ(out.size(), camera.size());
    EXPECT_EQ(out.format(), QImage::Format_RGB32);
    int keyed = 0, kept = 0, band = 0;
    for (int y = 0; y < camera.height(); ++y) {
        const double a = referenceKept(kScreenGreen, sensitivity, smoothness, camera.pixel(0, y));
        keyed += a == 0;
        kept += a == 1;
        band += a > 0.05 && a < 0.95;
        for (int x : {0, 17, 36}) {
            EXPECT_COLOR_NEAR(out.pixel(x, y), blend(camera.pixel(x, y), background.pixel(x, y), a), 1) << "row " << y;
        }
    }
    // The gradient must have exercised all three regimes.
    EXPECT_GT(keyed, 10);
    EXPECT_GT(kept, 10);
    EXPECT_GT(band, 10);
}

TEST_F(KeyingEngineTest, ZeroSmoothnessIsAHardEdgeAndNoBackgroundLeavesTransparency) {
    const QImage camera = gradientCamera(8, 100);
    const QImage out = keying::composite(camera, QImage(), QImage(), keying::keyParametersFor(kScreenGreen, 0.25f, 0));
    ASSERT_FALSE(out.isNull());
    EXPECT_EQ(out.format(), QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < camera.height(); ++y) {
        const double a = referenceKept(kScreenGreen, 0.25, 0, camera.pixel(0, y));
        const QRgb expected = a == 0 ? qRgba(0, 0, 0, 0) : camera.pixel(0, y);
        EXPECT_COLOR_NEAR(out.pixel(3, y), expected, 0) << "row " << y;
    }
}

// Key settings reach the engine from the window's sliders and from stored
// files; none of them may turn into a NaN that is then made an integer.
TEST_F(KeyingEngineTest, DegenerateKeySettingsKeyAsAPlainStep) {
    // Black on a black key sits exactly on the threshold: a band of a
    // denormal width would make 0 times infinity there.
    const QImage camera = splitImage(16, 4, Qt::black, kSkin);
    const QImage background = flatImage(16, 4, QColor(200, 0, 0));
    for (float smoothness : {4e-42f, 1e-9f, 0.0f, -0.5f, std::nanf("")}) {
        const auto key = keying::keyParametersFor(Qt::black, 0.0f, smoothness);
        const float share = keying::keptShare(key, 0, 0, 0);
        EXPECT_EQ(share, 0.0f) << smoothness;
        EXPECT_EQ(keying::keptShare(key, 230, 180, 150), 1.0f) << smoothness;
        const QImage out = keying::composite(camera, background, QImage(), key);
        ASSERT_FALSE(out.isNull());
        EXPECT_EQ(out.pixel(2, 1), qRgb(200, 0, 0)) << smoothness;
        EXPECT_EQ(out.pixel(12, 1), kSkin.rgb()) << smoothness;
    }
    // An unusable sensitivity keys nothing but the key colour itself.
    for (float sensitivity : {std::nanf(""), -1.0f}) {
        const auto key = keying::keyParametersFor(Qt::black, sensitivity, 0.1f);
        EXPECT_EQ(keying::keptShare(key, 0, 0, 0), 0.0f) << sensitivity;
        EXPECT_EQ(keying::keptShare(key, 230, 180, 150), 1.0f) << sensitivity;
    }
    const auto wide = keying::keyParametersFor(Qt::black, std::numeric_limits<float>::infinity(), 0.1f);
    EXPECT_EQ(keying::keptShare(wide, 230, 180, 150), 0.0f);
}

TEST_F(KeyingEngineTest, OverlayIsDrawnOverTheKeyedResult) {
    QImage camera = flatImage(40, 20, kScreenGreen);
    QPainter(&camera).fillRect(0, 0, 20, 20, kSkin);
    const QImage background = flatImage(40, 20, QColor(0, 0, 255));
    // Half-transparent red over the top half, nothing below.
    QImage overlay(40, 20, QImage::Format_ARGB32_Premultiplied);
    overlay.fill(Qt::transparent);
    QPainter(&overlay).fillRect(0, 0, 40, 10, QColor(255, 0, 0, 128));

    const QImage out = keying::composite(camera, background, keying::toPremultiplied(overlay),
                                         keying::keyParametersFor(kScreenGreen, 0.1f, 0.11f));
    const double keep = 1 - 128 / 255.0;
    auto over = [&](QRgb under) {
        return qRgb(std::lround(128 + qRed(under) * keep), std::lround(qGreen(under) * keep),
                    std::lround(qBlue(under) * keep));
    };
    EXPECT_COLOR_NEAR(out.pixel(5, 5), over(kSkin.rgb()), 1);       // kept camera under the overlay
    EXPECT_COLOR_NEAR(out.pixel(30, 5), over(qRgb(0, 0, 255)), 1);  // background under the overlay
    EXPECT_COLOR_NEAR(out.pixel(5, 15), kSkin.rgb(), 0);
    EXPECT_COLOR_NEAR(out.pixel(30, 15), qRgb(0, 0, 255), 0);
}

// A prepared overlay is read only where it is not fully transparent; the
// result must be the same as reading all of it, at photo sizes too (where
// rows are written past the cache).
TEST_F(KeyingEngineTest, OverlayRunsGiveTheSameResultAsTheWholeOverlay) {
    QImage overlay(100, 6, QImage::Format_ARGB32_Premultiplied);
    overlay.fill(Qt::transparent);
    overlay.setPixel(0, 0, qRgba(10, 10, 10, 10));  // row 0: 0, 40..59 (a short gap is bridged), 99
    overlay.setPixel(99, 0, qRgba(255, 255, 255, 255));
    QPainter(&overlay).fillRect(40, 0, 5, 1, QColor(255, 0, 0));
    QPainter(&overlay).fillRect(55, 0, 5, 1, QColor(255, 0, 0));
    QPainter(&overlay).fillRect(0, 2, 100, 1, QColor(0, 0, 255, 128));  // row 2: all; row 1 and 3..5: none
    const auto runs = keying::OverlayRuns::of(overlay);
    ASSERT_EQ(runs.rows.size(), 6u);
    using Runs = std::vector<std::pair<int, int>>;
    EXPECT_EQ(runs.rows[0], (Runs{{0, 1}, {40, 60}, {99, 100}}));
    EXPECT_EQ(runs.rows[1], Runs{});
    EXPECT_EQ(runs.rows[2], (Runs{{0, 100}}));

    for (const QSize size : {QSize(301, 37), QSize(3001, 2900)}) {
        const int w = size.width(), h = size.height();
        // Drawn pixel by pixel: the painter spreads large images over its own
        // threads, which a thread-checking build cannot follow.
        auto fill = [](QImage& image, QRect rect, QRgb premultiplied) {
            for (int y = rect.top(); y <= rect.bottom(); ++y) {
                auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
                std::fill(row + rect.left(), row + rect.right() + 1, premultiplied);
            }
        };
        QImage camera = gradientCamera(w, h);
        fill(camera, QRect(0, 0, w / 3, h), kScreenGreen.rgb());
        const QImage background = flatImage(w, h, QColor(10, 20, 250));
        QImage frame(w, h, QImage::Format_ARGB32_Premultiplied);
        frame.fill(0);
        const QRgb white = qPremultiply(qRgba(255, 255, 255, 200));
        fill(frame, QRect(20, 20, w - 40, 9), white);  // a frame 9 pixels wide
        fill(frame, QRect(20, h - 29, w - 40, 9), white);
        fill(frame, QRect(20, 20, 9, h - 40), white);
        fill(frame, QRect(w - 29, 20, 9, h - 40), white);
        fill(frame, QRect(w / 2, h / 2, 3, 3), qRgba(0, 0, 0, 255));
        fill(frame, QRect(w - 4, 0, 4, h), qPremultiply(qRgba(0, 255, 0, 60)));  // up to the end of each row
        const auto key = keying::keyParametersFor(kScreenGreen, 0.1f, 0.11f);
        const auto frameRuns = keying::OverlayRuns::of(frame);
        const QImage whole = keying::composite(camera, background, frame, key);
        QImage recycled = keying::composite(camera, background, frame, key, QImage(), &frameRuns);
        const uchar* bits = recycled.constBits();
        recycled = keying::composite(camera, background, frame, key, std::move(recycled), &frameRuns);
        ASSERT_FALSE(whole.isNull());
        EXPECT_EQ(recycled.constBits(), bits);  // written into the buffer handed back
        EXPECT_TRUE(recycled == whole) << w << "x" << h;
        // Runs of another size are not used.
        EXPECT_TRUE(keying::composite(camera, background, frame, key, QImage(), &runs) == whole);
    }
}

TEST_F(KeyingEngineTest, RejectsMismatchedInputs) {
    const QImage camera = flatImage(10, 10, kScreenGreen);
    const auto key = keying::keyParametersFor(kScreenGreen, 0.1f, 0.1f);
    EXPECT_TRUE(keying::composite(camera, flatImage(11, 10, Qt::red), QImage(), key).isNull());
    EXPECT_TRUE(keying::composite(QImage(), QImage(), QImage(), key).isNull());
    EXPECT_TRUE(keying::composite(camera.convertToFormat(QImage::Format_RGB888), QImage(), QImage(), key).isNull());
}

TEST_F(KeyingEngineTest, ScalingAveragesWhenShrinkingAndFillsWithoutDistortion) {
    QImage checker(2, 2, QImage::Format_RGB32);
    checker.setPixel(0, 0, qRgb(0, 0, 0));
    checker.setPixel(1, 1, qRgb(0, 0, 0));
    checker.setPixel(1, 0, qRgb(255, 255, 255));
    checker.setPixel(0, 1, qRgb(255, 255, 255));
    const QImage one = keying::scaleSmoothly(checker, QSize(1, 1));
    EXPECT_NEAR(qRed(one.pixel(0, 0)), 128, 1);

    // Premultiplied: averaging opaque red with transparent gives half-transparent red, not dark red.
    QImage half(2, 1, QImage::Format_ARGB32_Premultiplied);
    half.setPixel(0, 0, qRgba(255, 0, 0, 255));
    half.setPixel(1, 0, qRgba(0, 0, 0, 0));
    const QImage averaged = keying::scaleSmoothly(half, QSize(1, 1)).convertToFormat(QImage::Format_ARGB32);
    EXPECT_NEAR(qAlpha(averaged.pixel(0, 0)), 128, 1);
    EXPECT_NEAR(qRed(averaged.pixel(0, 0)), 255, 1);

    // A 3:1 background on a square photo: only its middle third is used.
    QImage wide(300, 100, QImage::Format_RGB32);
    QPainter p(&wide);
    p.fillRect(0, 0, 100, 100, Qt::red);
    p.fillRect(100, 0, 100, 100, Qt::white);
    p.fillRect(200, 0, 100, 100, Qt::blue);
    p.end();
    const QImage filled = keying::scaleToFill(wide, QSize(50, 50));
    ASSERT_EQ(filled.size(), QSize(50, 50));
    for (QPoint pt : {QPoint(0, 0), QPoint(49, 0), QPoint(25, 25), QPoint(0, 49), QPoint(49, 49)}) {
        EXPECT_COLOR_NEAR(filled.pixel(pt), qRgb(255, 255, 255), 0) << pt.x() << "," << pt.y();
    }
    // Enlarging keeps the halves where they were.
    const QImage big = keying::scaleSmoothly(splitImage(4, 4, Qt::red, Qt::blue), QSize(64, 64));
    EXPECT_COLOR_NEAR(big.pixel(2, 30), qRgb(255, 0, 0), 0);
    EXPECT_COLOR_NEAR(big.pixel(61, 30), qRgb(0, 0, 255), 0);
}

TEST_F(KeyingEngineTest, ParallelForCoversEveryIndexOnceEvenFromBusyPoolThreads) {
    // Every pool thread runs a parallelFor of its own: the callers must finish
    // their work themselves rather than wait for the busy pool.
    auto& pool = base::ThreadPool::shared();
    const int outer = static_cast<int>(pool.size()) + 2;
    std::vector<std::promise<bool>> results(outer);
    for (int i = 0; i < outer; ++i) {
        pool.post([&, i] {
            std::vector<std::atomic<int>> hits(1000);
            keying::parallelFor(1000, 7, [&](int b, int e) {
                for (int k = b; k < e; ++k) hits[k]++;
            });
            results[i].set_value(std::all_of(hits.begin(), hits.end(), [](auto& h) { return h.load() == 1; }));
        });
    }
    for (auto& r : results) {
        auto f = r.get_future();
        ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(f.get());
    }
}

TEST_F(KeyingEngineTest, CompositorKeepsItsPicturesAndKeyColour) {
    const QImage camera = flatImage(20, 20, kScreenGreen);
    const auto settings = GreenScreenFilterSettings::initWithSettingsWithSmoothness(0.1f, 0.1f, kScreenGreen);

    GreenScreenFilters filters;
    // An invalid camera image comes back as it was.
    EXPECT_TRUE(filters.applyGPUFilterOnImage(QImage(), flatImage(20, 20, Qt::red), QImage(), &settings).isNull());

    QImage out = filters.applyGPUFilterOnImage(camera, flatImage(20, 20, Qt::red), QImage(), &settings);
    EXPECT_COLOR_NEAR(out.pixel(10, 10), qRgb(255, 0, 0), 0);
    // A second background is not taken: the picture is made once.
    out = filters.applyGPUFilterOnImage(camera, flatImage(20, 20, Qt::blue), QImage(), &settings);
    EXPECT_COLOR_NEAR(out.pixel(10, 10), qRgb(255, 0, 0), 0);
    // ...until it is cleared.
    filters.clearBackgroundPicture();
    out = filters.applyGPUFilterOnImage(camera, flatImage(20, 20, Qt::blue), QImage(), &settings);
    EXPECT_COLOR_NEAR(out.pixel(10, 10), qRgb(0, 0, 255), 0);

    // No key colour: sensitivity and smoothness change, the colour stays.
    const auto noColour = GreenScreenFilterSettings::initWithSettingsWithSmoothness(0.3f, 0.2f, QColor());
    filters.applyGPUFilterOnImage(camera, QImage(), QImage(), &noColour);
    EXPECT_EQ(filters.imageFilter()->colorToReplace.rgb(), kScreenGreen.rgb());
    EXPECT_FLOAT_EQ(filters.imageFilter()->thresholdSensitivity, 0.3f);

    // Settings changes re-run the prepared images and keep the key colour:
    // with sensitivity 0 and a hard edge only the key colour itself goes.
    const auto strict = GreenScreenFilterSettings::initWithSettingsWithSmoothness(0.0f, 0.0f, QColor(Qt::magenta));
    out = filters.settingsDidChanged(strict);
    EXPECT_EQ(filters.imageFilter()->colorToReplace.rgb(), kScreenGreen.rgb());
    EXPECT_COLOR_NEAR(out.pixel(10, 10), qRgb(0, 0, 255), 0);
    const QImage sky = flatImage(20, 20, QColor(90, 160, 230));
    out = filters.applyGPUFilterOnImage(sky, QImage(), QImage(), nullptr);
    EXPECT_COLOR_NEAR(out.pixel(10, 10), sky.pixel(0, 0), 0);
}

TEST_F(KeyingEngineTest, SampleCompositorTakesANewBackgroundEachTime) {
    auto filters = GreenScreenFilters::initWithSampleImage(flatImage(16, 16, kScreenGreen));
    const auto settings = GreenScreenFilterSettings::initWithSettingsWithSmoothness(0.1f, 0.1f, kScreenGreen);
    QImage overlay(16, 16, QImage::Format_ARGB32_Premultiplied);
    overlay.fill(Qt::transparent);
    QPainter(&overlay).fillRect(0, 0, 16, 4, Qt::white);
    QImage out = filters->applyGPUFilterUsingBackgroundImage(flatImage(8, 8, Qt::red), overlay, settings);
    EXPECT_COLOR_NEAR(out.pixel(8, 8), qRgb(255, 0, 0), 0);
    EXPECT_COLOR_NEAR(out.pixel(8, 1), qRgb(255, 255, 255), 0);
    out = filters->applyGPUFilterUsingBackgroundImage(flatImage(8, 8, Qt::blue), QImage(), settings);
    EXPECT_COLOR_NEAR(out.pixel(8, 8), qRgb(0, 0, 255), 0);
    EXPECT_COLOR_NEAR(out.pixel(8, 1), qRgb(0, 0, 255), 0);
}
