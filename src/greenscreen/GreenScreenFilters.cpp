#include "greenscreen/GreenScreenFilters.h"

#include <exception>

#include <spdlog/spdlog.h>

#include "core/WrenUtils.h"
#include "greenscreen/GreenScreenFilterSettings.h"

KeyingPicture::KeyingPicture(const QImage& image, Fit fit) : image_(keying::toPremultiplied(image)), fit_(fit) {}

QImage KeyingPicture::scaledTo(const QSize& size) {
    for (const QImage& c : cache_) {
        if (c.size() == size) return c;
    }
    QImage scaled = fit_ == Fit::Fill ? keying::scaleToFill(image_, size) : keying::scaleSmoothly(image_, size);
    if (scaled.isNull()) return scaled;
    if (cache_.size() >= 2) cache_.erase(cache_.begin());
    cache_.push_back(scaled);
    return scaled;
}

keying::KeyParameters ChromaKeyBlendFilter::parameters() const {
    return keying::keyParametersFor(colorToReplace, thresholdSensitivity, smoothing);
}

std::shared_ptr<GreenScreenFilters> GreenScreenFilters::initWithSampleImage(const QImage& sample) {
    auto filters = std::make_shared<GreenScreenFilters>();
    filters->imageFilter_.emplace();
    filters->inputPicture_ = keying::toPremultiplied(sample);
    filters->inputImage_ = sample;
    filters->overlayPicture_.reset();
    filters->backgroundPicture_.reset();
    return filters;
}

void GreenScreenFilters::initImages(const QImage& background, const QImage& overlay) {
    if (!imageFilter_) imageFilter_.emplace();
    backgroundImage_ = background;
    if (!background.isNull() && !backgroundPicture_) {
        backgroundPicture_ = std::make_unique<KeyingPicture>(background, KeyingPicture::Fit::Fill);
    }
    overlayImage_ = overlay;
    if (overlayPicture_) overlayPicture_ = std::make_unique<KeyingPicture>(overlay, KeyingPicture::Fit::Stretch);
}

QImage GreenScreenFilters::applyGPUFilterOnImage(const QImage& camera, const QImage& background,
                                                 const QImage& overlay, const GreenScreenFilterSettings* settings) {
    overlayImage_ = overlay;
    inputImage_ = camera;
    return applyGPUFilterOnImage(camera, background, settings);
}

void GreenScreenFilters::applySettings(const GreenScreenFilterSettings& settings) {
    const QColor& key = settings.spotColor();
    if (key.isValid()) {
        const QColor c = key.toRgb();
        imageFilter_->setColorToReplaceRed(static_cast<float>(c.redF()), static_cast<float>(c.greenF()),
                                           static_cast<float>(c.blueF()));
    }
    imageFilter_->setThresholdSensitivity(settings.sensitivity());
    imageFilter_->setSmoothing(settings.smoothness());
}

QImage GreenScreenFilters::applyGPUFilterOnImage(const QImage& camera, const QImage& background,
                                                 const GreenScreenFilterSettings* settings) {
    if (!WrenUtils::isValidImage(camera)) return camera;
    inputPicture_ = keying::toPremultiplied(camera);
    if (inputPicture_.isNull()) return camera;
    inputImage_ = camera;
    if (!imageFilter_) imageFilter_.emplace();
    if (!backgroundPicture_ && WrenUtils::isValidImage(background)) {
        backgroundPicture_ = std::make_unique<KeyingPicture>(background, KeyingPicture::Fit::Fill);
    }
    if (settings) applySettings(*settings);
    return startFiltersProcessing();
}

QImage GreenScreenFilters::startFiltersProcessing() {
    if (inputPicture_.isNull()) return {};
    if (!imageFilter_) imageFilter_.emplace();
    const keying::KeyParameters key = imageFilter_->parameters();
    QImage keyed;
    try {
        QImage background;
        if (backgroundPicture_) background = backgroundPicture_->scaledTo(inputPicture_.size());
        QImage overlay;
        if (WrenUtils::isValidImage(overlayImage_)) {
            try {
                if (!overlayPicture_) {
                    overlayPicture_ = std::make_unique<KeyingPicture>(overlayImage_, KeyingPicture::Fit::Stretch);
                }
                overlay = overlayPicture_->scaledTo(inputPicture_.size());
            } catch (const std::exception& e) {
                spdlog::error("GreenScreenFilter: unable to apply filter as got exception as ({})", e.what());
                overlay = QImage();
            }
        }
        // One pass: the key, then the overlay over it.
        QImage recycle = std::move(lastOutput_);
        lastOutput_ = QImage();
        keyed = keying::composite(inputPicture_, background, overlay, key, std::move(recycle));
        lastOutput_ = keyed;
        return keyed;
    } catch (const std::exception& e) {
        spdlog::error("GreenScreenFilter: unable to apply filter as got exception as ({})", e.what());
        return keyed;
    }
}

QImage GreenScreenFilters::settingsDidChanged(const GreenScreenFilterSettings& settings) {
    if (!imageFilter_) imageFilter_.emplace();
    imageFilter_->setThresholdSensitivity(settings.sensitivity());
    imageFilter_->setSmoothing(settings.smoothness());
    return startFiltersProcessing();
}

QImage GreenScreenFilters::applyGPUFilterUsingBackgroundImage(const QImage& background, const QImage& overlay,
                                                              const GreenScreenFilterSettings& settings) {
    overlayImage_ = overlay;
    backgroundImage_ = background;
    backgroundPicture_ = std::make_unique<KeyingPicture>(background, KeyingPicture::Fit::Fill);
    if (!imageFilter_) imageFilter_.emplace();
    applySettings(settings);
    return startFiltersProcessing();
}
