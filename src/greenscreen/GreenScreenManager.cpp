#include "greenscreen/GreenScreenManager.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImageWriter>

#include <exception>

#include <spdlog/spdlog.h>

#include "base/Files.h"
#include "core/MainQueue.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "greenscreen/DominantColorFinder.h"
#include "templates/ImageUtils.h"

namespace {

std::mutex rotationMutex;
int rotationIndex = -1;

std::int64_t setting(const char* key) { return UserDefaults::standard().integer(key, 0); }

QString liveViewRemovalWayKey() { return GreenScreenFilterSettings::liveViewKey(kGreenScreenRemovalWayKey); }

// The image as JPEG at full quality, in memory; empty on failure.
QByteArray jpegBytes(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(100);
    if (!writer.write(image)) return {};
    return bytes;
}

}  // namespace

GreenScreenManager::GreenScreenManager() : callbackExecutor_(&MainQueue::shared()) {
    settings_ = setting(kGreenScreenRemovalWayKey) != 0 ? GreenScreenFilterSettings::initFromNSDefaults()
                                                        : GreenScreenFilterSettings::initWithDefaultSettings();
    liveViewSettings_ = UserDefaults::standard().integer(liveViewRemovalWayKey().toStdString(), 0) != 0
                            ? GreenScreenFilterSettings::initFromNSDefaultsForLiveView()
                            : GreenScreenFilterSettings::initWithDefaultSettings();
    gpuImageFilters_ = std::make_shared<GreenScreenFilters>();
    std::lock_guard<std::mutex> lock(mutex_);
    initImagesLocked();
}

GreenScreenManager::~GreenScreenManager() { worker_.drain(); }

void GreenScreenManager::raiseExceptionForNoBackgroundImages() { throw NoGreenScreenBackgroundException(); }

int GreenScreenManager::currentRotationIndex() {
    std::lock_guard<std::mutex> lock(rotationMutex);
    return rotationIndex;
}

void GreenScreenManager::initImages() {
    std::lock_guard<std::mutex> lock(mutex_);
    initImagesLocked();
}

void GreenScreenManager::initImagesLocked() {
    if (setting(kGreenScreenBackgroundSelectionTypeKey) != 0) {
        backgrounds_.reset();
        loadSelectedImagesForManualModeLocked();
        return;
    }
    loadAllBackgroundsImagesForAutoModeLocked();
    if (backgroundImages_.empty()) raiseExceptionForNoBackgroundImages();
    updateBackgroundImageIndexLocked();
}

void GreenScreenManager::loadAllBackgroundsImagesForAutoMode() {
    std::lock_guard<std::mutex> lock(mutex_);
    loadAllBackgroundsImagesForAutoModeLocked();
}

void GreenScreenManager::loadAllBackgroundsImagesForAutoModeLocked() {
    // Rebuilt, not appended to: running this again must not list a background twice.
    backgroundImages_ = storedBackgroundEntries();
}

void GreenScreenManager::loadSelectedImagesForManualMode() {
    std::lock_guard<std::mutex> lock(mutex_);
    loadSelectedImagesForManualModeLocked();
}

void GreenScreenManager::loadSelectedImagesForManualModeLocked() {
    if (backgrounds_) return;
    const auto chosen = UserDefaults::standard().object(kGreenScreenBackgroundsToUseKey);
    if (!chosen || chosen->is_null() || (chosen->is_object() && chosen->empty())) {
        raiseExceptionForNoBackgroundImages();
    }
    BackgroundImagePtr background = backgroundFromStoredEntry(*chosen);
    if (!background) {
        spdlog::warn("GreenScreenManager: {} cannot be read: {}", kGreenScreenBackgroundsToUseKey, chosen->dump());
        raiseExceptionForNoBackgroundImages();
    }
    backgrounds_ = std::move(background);
    // The pictures are decoded on first use, off the caller's thread.
    backgroundNeedsLoading_ = true;
}

void GreenScreenManager::updateBackgroundImageIndex() {
    worker_.post([this] {
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            updateBackgroundImageIndexLocked();
            loadBackgroundInUseLocked();
        } catch (const std::exception& e) {
            spdlog::error("GreenScreenManager: cannot change the background: {}", e.what());
        }
    });
}

void GreenScreenManager::updateBackgroundImageIndexLocked() {
    if (setting(kGreenScreenBackgroundSelectionTypeKey) != 0) {
        if (!backgrounds_) loadSelectedImagesForManualModeLocked();
        return;
    }
    const int n = static_cast<int>(backgroundImages_.size());
    if (n == 0) return;
    int index = 0;
    if (n != 1) {
        std::lock_guard<std::mutex> lock(rotationMutex);
        ++rotationIndex;
        if (rotationIndex >= n) rotationIndex = 0;
        index = rotationIndex;
    }
    const BackgroundImagePtr& next = backgroundImages_[index];
    if (next == backgrounds_ && !backgroundNeedsLoading_ && !unmirroredBackground_.isNull()) {
        // The same background again (a single one, or the turn came round):
        // no need to read it from disk and scale it again, unless a photo
        // left it unmirrored for a mirrored live view.
        if (!UserDefaults::standard().boolean(kMirrorLiveViewKey, false)) return;
        backgrounds_->image = getMirroedImageForImageIfNeeded(unmirroredBackground_);
        gpuImageFilters_ = std::make_shared<GreenScreenFilters>();
        gpuImageFilters_->initImages(backgrounds_->image, backgrounds_->overlayImage);
        return;
    }
    if (backgrounds_) {
        // Only the background in use keeps its pictures in memory.
        backgrounds_->image = QImage();
        backgrounds_->overlayImage = QImage();
    }
    backgrounds_ = next;
    backgroundNeedsLoading_ = true;
    // The compositor keeps its pictures once made: a new background needs a new one.
    gpuImageFilters_ = std::make_shared<GreenScreenFilters>();
}

void GreenScreenManager::loadBackgroundInUseLocked() {
    if (!backgrounds_ || !backgroundNeedsLoading_) return;
    backgroundNeedsLoading_ = false;
    unmirroredBackground_ = ImageUtils::loadImage(backgrounds_->imageURL);
    if (unmirroredBackground_.isNull()) {
        spdlog::error("GreenScreenManager: the background {} cannot be read", backgrounds_->imageURL.toStdString());
    }
    backgrounds_->image = getMirroedImageForImageIfNeeded(unmirroredBackground_);
    backgrounds_->overlayImage = QImage();
    if (!backgrounds_->overlayImageURL.isEmpty()) {
        // Overlays are never mirrored.
        backgrounds_->overlayImage = ImageUtils::loadImage(backgrounds_->overlayImageURL);
        if (backgrounds_->overlayImage.isNull()) {
            spdlog::error("GreenScreenManager: the overlay {} cannot be read",
                          backgrounds_->overlayImageURL.toStdString());
        }
    }
    if (!gpuImageFilters_) gpuImageFilters_ = std::make_shared<GreenScreenFilters>();
    gpuImageFilters_->initImages(backgrounds_->image, backgrounds_->overlayImage);
}

QImage GreenScreenManager::getMirroedImageForImageIfNeeded(const QImage& image) {
    if (image.isNull() || !UserDefaults::standard().boolean(kMirrorLiveViewKey, false)) return image;
    return image.mirrored(true, false);
}

QImage GreenScreenManager::replaceBackgroundInImage(const QImage& image) {
    std::lock_guard<std::mutex> lock(mutex_);
    return replaceBackgroundInImageLocked(image, false);
}

QImage GreenScreenManager::replaceBackgroundInImageForLiveView(const QImage& frame) {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return {};
    try {
        QImage keyed = replaceBackgroundInImageLocked(frame, true);
        return WrenUtils::isValidImage(keyed) ? keyed : frame;
    } catch (const std::exception& e) {
        spdlog::error("GreenScreenManager: cannot key a live-view frame: {}", e.what());
        return frame;
    }
}

QImage GreenScreenManager::replaceBackgroundInImageLocked(const QImage& image, bool liveView) {
    const bool automatic = liveView ? UserDefaults::standard().integer(liveViewRemovalWayKey().toStdString(), 0) == 0
                                    : setting(kGreenScreenRemovalWayKey) == 0;
    GreenScreenFilterSettings& settings = liveView ? liveViewSettings_ : settings_;
    // No colour found leaves the compositor's key colour as it was.
    if (automatic) settings.setSpotColor(DominantColorFinder::findBestColorForAutoModeInImage(image));
    if (!liveView && (!backgrounds_ || (backgrounds_->image.isNull() && !backgroundNeedsLoading_))) {
        initImagesLocked();
    }
    loadBackgroundInUseLocked();
    // Keying onto a background that could not be read would give the guest
    // an empty backdrop: the image is left as it is instead.
    if (!backgrounds_ || !WrenUtils::isValidImage(backgrounds_->image)) return {};
    return gpuImageFilters_->applyGPUFilterOnImage(image, backgrounds_->image, backgrounds_->overlayImage, &settings);
}

void GreenScreenManager::replaceBackgroundInImageFromURL(const QString& photoPath) {
    worker_.post([this, photoPath] {
        keyPhoto(photoPath);
        if (auto d = delegate()) {
            callbackExecutor_->post([d, photoPath] { d->doneGreenReplacement(photoPath); });
        }
    });
}

void GreenScreenManager::keyPhoto(const QString& photoPath) {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        const QImage photo = ImageUtils::loadImage(photoPath);
        if (photo.isNull()) {
            spdlog::error("ReplaceGreenScreenBackground: the photo {} cannot be read, left as it is",
                          photoPath.toStdString());
            return;
        }
        if (UserDefaults::standard().boolean(kMirrorLiveViewKey, false) && backgrounds_) {
            // Photos are never mirrored, so they are keyed onto the background
            // as it is; the live view then uses it too until the next load.
            loadBackgroundInUseLocked();
            if (gpuImageFilters_) gpuImageFilters_->clearBackgroundPicture();
            backgrounds_->image = unmirroredBackground_;
        }
        const QImage keyed = replaceBackgroundInImageLocked(photo, false);
        if (!WrenUtils::isValidImage(keyed)) {
            spdlog::error("ReplaceGreenScreenBackground: could not key {}, left as it is", photoPath.toStdString());
            return;
        }
        const QByteArray jpeg = jpegBytes(keyed);
        if (jpeg.isEmpty()) {
            spdlog::error("ReplaceGreenScreenBackground: could not encode the keyed {}", photoPath.toStdString());
            return;
        }
        // Replaced in one step: whoever looks at the photo's path finds the
        // captured photo or the keyed one, never nothing.
        std::string error;
        if (!base::writeFileAtomically(photoPath.toStdString(), std::string_view(jpeg.constData(), jpeg.size()),
                                       &error)) {
            spdlog::error("ReplaceGreenScreenBackground: could not write the keyed {}: {}", photoPath.toStdString(),
                          error);
            return;
        }
        const QFileInfo info(photoPath);
        const QString target =
            QDir::cleanPath(info.absolutePath() + "/../Green Screen") + "/" + info.fileName();
        if (!base::writeFileAtomically(target.toStdString(), std::string_view(jpeg.constData(), jpeg.size()),
                                       &error)) {
            spdlog::error("ReplaceGreenScreenBackground: could not keep a copy at {}: {}", target.toStdString(),
                          error);
        }
    } catch (const std::exception& e) {
        spdlog::error("ReplaceGreenScreenBackground: got exceptoin while changing background as ({})", e.what());
    } catch (...) {
        spdlog::error("ReplaceGreenScreenBackground: got exceptoin while changing background as (unknown)");
    }
}

std::shared_ptr<GreenScreenManagerDelegate> GreenScreenManager::delegate() const {
    std::lock_guard<std::mutex> lock(delegateMutex_);
    return delegate_;
}

void GreenScreenManager::setDelegate(std::shared_ptr<GreenScreenManagerDelegate> delegate) {
    std::lock_guard<std::mutex> lock(delegateMutex_);
    delegate_ = std::move(delegate);
}

GreenScreenFilterSettings GreenScreenManager::settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

GreenScreenFilterSettings GreenScreenManager::liveViewSettings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return liveViewSettings_;
}

std::shared_ptr<GreenScreenFilters> GreenScreenManager::gpuImageFilters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return gpuImageFilters_;
}

std::vector<BackgroundImagePtr> GreenScreenManager::backgroundImages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return backgroundImages_;
}

BackgroundImagePtr GreenScreenManager::backgrounds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return backgrounds_;
}
