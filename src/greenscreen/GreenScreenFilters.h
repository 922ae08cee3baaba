#pragma once
// The compositor: keys a camera image onto a background with the keying
// engine and draws an optional overlay over the result.
//
// Like a chain of picture sources, it keeps its background and overlay
// pictures once made: later images handed over as background or overlay do
// not replace them, except through the operations that say so. A caller that
// changes the background makes a new compositor or clears the background
// picture. Not safe for concurrent use: one thread at a time.
#include <QColor>
#include <QImage>
#include <QSize>

#include <memory>
#include <optional>
#include <vector>

#include "greenscreen/KeyingEngine.h"

class GreenScreenFilterSettings;

// A picture source: the full-resolution image, with its copies scaled to
// the sizes asked for (the last two are kept, so that live-view frames and
// photos can share one picture).
class KeyingPicture {
public:
    enum class Fit { Fill, Stretch };
    KeyingPicture(const QImage& image, Fit fit);
    const QImage& image() const { return image_; }
    // The picture at `size` (kernel format); null when it cannot be made.
    QImage scaledTo(const QSize& size);

private:
    QImage image_;
    Fit fit_;
    std::vector<QImage> cache_;
};

// The two-input chroma-key blend: its key colour, threshold sensitivity and
// smoothing. A new filter keys pure green with the default parameters.
struct ChromaKeyBlendFilter {
    QColor colorToReplace = QColor::fromRgbF(0, 1, 0, 1);
    float thresholdSensitivity = 0.1f;
    float smoothing = 0.11f;
    void setColorToReplaceRed(float red, float green, float blue) {
        colorToReplace = QColor::fromRgbF(red, green, blue, 1);
    }
    void setThresholdSensitivity(float v) { thresholdSensitivity = v; }
    void setSmoothing(float v) { smoothing = v; }
    keying::KeyParameters parameters() const;
};

class GreenScreenFilters {
public:
    GreenScreenFilters() = default;
    // A compositor prepared with a sample image (the window's preview).
    static std::shared_ptr<GreenScreenFilters> initWithSampleImage(const QImage& sample);

    // Stores the background (and makes its picture when there is none yet)
    // and the overlay (replacing an overlay picture that exists).
    void initImages(const QImage& background, const QImage& overlay);
    // The main entry: keys `camera` onto the background with the overlay.
    // `settings` may be null (the filter keeps its parameters).
    QImage applyGPUFilterOnImage(const QImage& camera, const QImage& background, const QImage& overlay,
                                 const GreenScreenFilterSettings* settings);
    // The keying pass; an invalid camera image comes back unchanged.
    QImage applyGPUFilterOnImage(const QImage& camera, const QImage& background,
                                 const GreenScreenFilterSettings* settings);
    // Runs what is prepared: the key, then the overlay. Null when nothing is.
    QImage startFiltersProcessing();
    // New sensitivity and smoothing (the key colour stays); re-runs.
    QImage settingsDidChanged(const GreenScreenFilterSettings& settings);
    // Keys the sample onto a new background picture.
    QImage applyGPUFilterUsingBackgroundImage(const QImage& background, const QImage& overlay,
                                              const GreenScreenFilterSettings& settings);
    // Drops the background picture; the next pass rebuilds it.
    void clearBackgroundPicture() { backgroundPicture_.reset(); }

    bool hasBackgroundPicture() const { return backgroundPicture_ != nullptr; }
    bool hasOverlayPicture() const { return overlayPicture_ != nullptr; }
    const QImage& backgroundImage() const { return backgroundImage_; }
    const QImage& overlayImage() const { return overlayImage_; }
    const QImage& inputImage() const { return inputImage_; }
    // The filter, when made.
    const std::optional<ChromaKeyBlendFilter>& imageFilter() const { return imageFilter_; }

private:
    void applySettings(const GreenScreenFilterSettings& settings);

    std::unique_ptr<KeyingPicture> backgroundPicture_;
    QImage inputPicture_;  // the camera image in kernel format
    std::optional<ChromaKeyBlendFilter> imageFilter_;
    QImage overlayImage_;
    QImage backgroundImage_;
    QImage inputImage_;
    std::unique_ptr<KeyingPicture> overlayPicture_;
    QImage lastOutput_;  // reused once its receiver lets go of it
};
