#include "greenscreen/GreenScreenManager.h"
#include <nlohmann/json.hpp>

#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>

#include <exception>
#include <utility>

#include <spdlog/spdlog.h>

#include "base/Files.h"
#include "camera/CameraManager.h"
#include "core/MainQueue.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "greenscreen/DominantColorFinder.h"
#include "templates/ImageUtils.h"

namespace {

std::mutex rotationMutex;
int rotationIndex = -1;
// The size photos came in at, for the next session's first background.
QSize lastKeyedPhotoSize;
// The photo buffers of the last session, for the next one's first photo.
QImage spareInput;
QImage spareOutput;

std::int64_t setting(const char* key) { return UserDefaults::standard().integer(key, 0); }

QString liveViewRemovalWayKey() { return GreenScreenFilterSettings::liveViewKey(kGreenScreenRemovalWayKey); }

// Decodes the photo at `path` into `image`, whose pixels are reused when it
// has the photo's size and format (and nobody else holds it).
bool decodePhoto(const QString& path, QImage& image) {
    ImageUtils::allowLargeImages();
    QImageReader reader(path);
    reader.setAutoTransform(true);
    if (reader.read(&image) && !image.isNull()) return true;
    spdlog::error("ImageUtils: unable to read {}: {}", path.toStdString(), reader.errorString().toStdString());
    image = QImage();
    return false;
}

void applyKeySettings(ChromaKeyBlendFilter& filter, const GreenScreenFilterSettings& settings) {
    // No key colour leaves the filter's own.
    if (settings.spotColor().isValid()) {
        const QColor c = settings.spotColor().toRgb();
        filter.setColorToReplaceRed(static_cast<float>(c.redF()), static_cast<float>(c.greenF()),
                                    static_cast<float>(c.blueF()));
    }
    filter.setThresholdSensitivity(settings.sensitivity());
    filter.setSmoothing(settings.smoothness());
}

}  // namespace

GreenScreenManager::GreenScreenManager() : callbackExecutor_(&MainQueue::shared()) {
    settings_ = setting(kGreenScreenRemovalWayKey) != 0 ? GreenScreenFilterSettings::initFromNSDefaults()
                                                        : GreenScreenFilterSettings::initWithDefaultSettings();
    liveViewSettings_ = UserDefaults::standard().integer(liveViewRemovalWayKey().toStdString(), 0) != 0
                            ? GreenScreenFilterSettings::initFromNSDefaultsForLiveView()
                            : GreenScreenFilterSettings::initWithDefaultSettings();
    gpuImageFilters_ = std::make_shared<GreenScreenFilters>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        initImagesLocked();
    }
    {
        std::lock_guard<std::mutex> lock(rotationMutex);
        photoSize_ = lastKeyedPhotoSize;
        photoInput_ = std::exchange(spareInput, QImage());
        photoOutput_ = std::exchange(spareOutput, QImage());
    }
    // The session's first background is made ready while its first countdown runs.
    worker_.post([this] { prepareNextPhoto(); });
}

GreenScreenManager::~GreenScreenManager() {
    // Photos handed over are still keyed; preparing for more is pointless.
    stopping_ = true;
    worker_.drain();
    // Sessions follow one another all evening: the next one's first photo
    // reuses these instead of paying for 200 MB of fresh pages.
    std::lock_guard<std::mutex> lock(rotationMutex);
    spareInput = std::move(photoInput_);
    spareOutput = std::move(photoOutput_);
}

QSize GreenScreenManager::lastPhotoSize() {
    std::lock_guard<std::mutex> lock(rotationMutex);
    return lastKeyedPhotoSize;
}

void GreenScreenManager::setPhotoWriteHook(std::function<void(const QString&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    photoWriteHook_ = std::move(hook);
}

GreenScreenManager::PreparedPhotoBackground GreenScreenManager::preparedPhotoBackground() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!prepared_ || prepared_->source != backgrounds_) return {};
    return {prepared_->source, prepared_->size};
}

void GreenScreenManager::resetPhotoKeyLocked() { photoKey_ = ChromaKeyBlendFilter(); }

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
            // The last background's pictures (some 200 MB at photo size)
            // are freed after the lock is let go: freeing takes a while.
            std::shared_ptr<const PhotoBackdrop> retired;
            QImage retiredBackground, retiredOverlay;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                retired = prepared_;
                if (backgrounds_) {
                    retiredBackground = backgrounds_->image;
                    retiredOverlay = backgrounds_->overlayImage;
                }
                updateBackgroundImageIndexLocked();
            }
            // Read and scaled now, while the guest's countdown runs.
            prepareNextPhoto();
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
    // The compositor keeps its pictures once made: a new background gets a
    // new one when its pictures are read (the live view keys onto the last
    // one until then), and the photos' key starts afresh with it.
    resetPhotoKeyLocked();
    if (next == backgrounds_ && unmirroredOf_ == backgrounds_ && !unmirroredBackground_.isNull()) {
        // The same background again (a single one, or the turn came round):
        // no need to read it from disk and scale it again, unless a photo
        // left it unmirrored for a mirrored live view.
        if (UserDefaults::standard().boolean(kMirrorLiveViewKey, false)) backgroundNeedsLoading_ = true;
        return;
    }
    if (backgrounds_) {
        // Only the background in use keeps its pictures in memory.
        backgrounds_->image = QImage();
        backgrounds_->overlayImage = QImage();
    }
    unmirroredBackground_ = QImage();
    unmirroredOf_.reset();
    backgrounds_ = next;
    backgroundNeedsLoading_ = true;
    // The last background's photo-size pictures go before the next ones are made.
    prepared_.reset();
}

void GreenScreenManager::loadBackgroundInUse() {
    BackgroundImagePtr background;
    QString imageURL, overlayURL;
    QImage unmirrored, overlay;
    QSize liveSize;
    bool decoded = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!backgrounds_ || !backgroundNeedsLoading_) return;
        background = backgrounds_;
        imageURL = background->imageURL;
        overlayURL = background->overlayImageURL;
        liveSize = liveFrameSize_;
        if (unmirroredOf_ == backgrounds_) {
            // Read already; only the live view's mirroring is to be made again.
            unmirrored = unmirroredBackground_;
            overlay = backgrounds_->overlayImage;
            decoded = true;
        }
    }
    if (!decoded) {
        unmirrored = ImageUtils::loadImage(imageURL);
        if (unmirrored.isNull()) {
            spdlog::error("GreenScreenManager: the background {} cannot be read", imageURL.toStdString());
        }
        if (!overlayURL.isEmpty()) {
            // Overlays are never mirrored.
            overlay = ImageUtils::loadImage(overlayURL);
            if (overlay.isNull()) {
                spdlog::error("GreenScreenManager: the overlay {} cannot be read", overlayURL.toStdString());
            }
        }
    }
    const QImage image = getMirroedImageForImageIfNeeded(unmirrored);
    auto live = liveViewCompositor(image, overlay, liveSize);
    std::shared_ptr<GreenScreenFilters> retired;  // freed after the lock is let go
    std::lock_guard<std::mutex> lock(mutex_);
    // Another thread read it meanwhile, or the booth moved on.
    if (backgrounds_ != background || !backgroundNeedsLoading_) return;
    backgroundNeedsLoading_ = false;
    unmirroredBackground_ = unmirrored;
    unmirroredOf_ = background;
    backgrounds_->image = image;
    backgrounds_->overlayImage = overlay;
    retired = std::exchange(gpuImageFilters_, std::move(live));
}

std::shared_ptr<GreenScreenFilters> GreenScreenManager::liveViewCompositor(const QImage& background,
                                                                          const QImage& overlay, const QSize& size) {
    auto compositor = std::make_shared<GreenScreenFilters>();
    compositor->initImages(background, overlay);
    if (!size.isEmpty() && WrenUtils::isValidImage(background)) {
        // One pass at the frame size makes the pictures at that size now, off
        // the live view's thread, instead of on its next frame.
        QImage probe(size, QImage::Format_RGB32);
        probe.fill(Qt::black);
        compositor->applyGPUFilterOnImage(probe, background, overlay, nullptr);
    }
    return compositor;
}

void GreenScreenManager::showPhotoBackgroundInLiveView() {
    BackgroundImagePtr background;
    QImage unmirrored, overlay;
    QSize liveSize;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!backgrounds_ || backgroundNeedsLoading_ || unmirroredOf_ != backgrounds_) return;
        if (backgrounds_->image.cacheKey() == unmirroredBackground_.cacheKey()) return;
        background = backgrounds_;
        unmirrored = unmirroredBackground_;
        overlay = backgrounds_->overlayImage;
        liveSize = liveFrameSize_;
    }
    auto live = liveViewCompositor(unmirrored, overlay, liveSize);
    std::shared_ptr<GreenScreenFilters> retired;  // freed after the lock is let go
    std::lock_guard<std::mutex> lock(mutex_);
    if (backgrounds_ != background || backgroundNeedsLoading_) return;
    backgrounds_->image = unmirrored;
    retired = std::exchange(gpuImageFilters_, std::move(live));
}

std::shared_ptr<const GreenScreenManager::PhotoBackdrop> GreenScreenManager::photoBackdropFor(const QSize& size) {
    BackgroundImagePtr background;
    QImage unmirrored, overlay;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (prepared_ && prepared_->source == backgrounds_ && prepared_->size == size) return prepared_;
        if (!backgrounds_ || unmirroredOf_ != backgrounds_) return nullptr;
        background = backgrounds_;
        unmirrored = unmirroredBackground_;
        overlay = backgrounds_->overlayImage;
    }
    // Keying onto a background that could not be read would give the guest
    // an empty backdrop.
    if (!WrenUtils::isValidImage(unmirrored)) return nullptr;
    auto made = std::make_shared<PhotoBackdrop>();
    made->source = background;
    made->size = size;
    // Photos are never mirrored, so they take the background as it is. Its
    // transparent parts are laid on white here, as the JPEG writer would lay
    // the keyed photo, so that the photo needs no pass of its own for it.
    made->background = keying::flattenOnWhite(keying::scaleToFill(unmirrored, size));
    if (WrenUtils::isValidImage(overlay)) {
        made->overlay = keying::scaleSmoothly(overlay, size);
        made->overlayRuns = keying::OverlayRuns::of(made->overlay);
    }
    if (made->background.isNull()) return nullptr;
    std::shared_ptr<const PhotoBackdrop> retired;  // freed after the lock is let go
    std::lock_guard<std::mutex> lock(mutex_);
    if (backgrounds_ == background) retired = std::exchange(prepared_, made);
    return made;
}

void GreenScreenManager::prepareNextPhoto() {
    if (stopping_) return;
    try {
        loadBackgroundInUse();
        // The camera knows its next photo's size best; the last photo's size
        // stands in when it cannot tell.
        QSize size = CameraManager::sharedCameraManager().expectedPhotoSize();
        if (size.isEmpty()) {
            std::lock_guard<std::mutex> lock(mutex_);
            size = photoSize_;
        }
        if (!size.isEmpty()) photoBackdropFor(size);
    } catch (const std::exception& e) {
        spdlog::error("GreenScreenManager: cannot prepare the next background: {}", e.what());
    }
}

QImage GreenScreenManager::getMirroedImageForImageIfNeeded(const QImage& image) {
    if (image.isNull() || !UserDefaults::standard().boolean(kMirrorLiveViewKey, false)) return image;
    return image.mirrored(true, false);
}

QImage GreenScreenManager::replaceBackgroundInImage(const QImage& image) { return keyPhotoImage(image, QImage()); }

QImage GreenScreenManager::replaceBackgroundInImageForLiveView(const QImage& frame) {
    try {
        const bool automatic = UserDefaults::standard().integer(liveViewRemovalWayKey().toStdString(), 0) == 0;
        // The frame's own work is done before the lock is taken.
        const QColor found = automatic ? DominantColorFinder::findBestColorForAutoModeInImage(frame) : QColor();
        for (int attempt = 0;; ++attempt) {
            {
                std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
                if (!lock.owns_lock()) return {};
                liveFrameSize_ = frame.size();
                const bool ready = gpuImageFilters_ && gpuImageFilters_->hasBackgroundPicture();
                if (ready || !backgroundNeedsLoading_ || attempt > 0) {
                    // No colour found leaves the compositor's key colour as it was.
                    if (automatic) liveViewSettings_.setSpotColor(found);
                    if (!ready) return frame;
                    // A new background keys the live view once the worker has
                    // read and scaled it; until then the last one does.
                    const QImage background = gpuImageFilters_->backgroundImage();
                    const QImage overlay = gpuImageFilters_->overlayImage();
                    QImage keyed =
                        gpuImageFilters_->applyGPUFilterOnImage(frame, background, overlay, &liveViewSettings_);
                    return WrenUtils::isValidImage(keyed) ? keyed : frame;
                }
            }
            // The session's first frames, before the worker has read the
            // background: read here rather than show them unkeyed.
            loadBackgroundInUse();
        }
    } catch (const std::exception& e) {
        spdlog::error("GreenScreenManager: cannot key a live-view frame: {}", e.what());
        return frame;
    }
}

QImage GreenScreenManager::keyPhotoImage(const QImage& photo, QImage recycle) {
    if (!WrenUtils::isValidImage(photo)) return {};
    bool automatic = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        automatic = setting(kGreenScreenRemovalWayKey) == 0;
        if (!backgrounds_ || (backgrounds_->image.isNull() && !backgroundNeedsLoading_)) initImagesLocked();
        photoSize_ = photo.size();
    }
    {
        std::lock_guard<std::mutex> lock(rotationMutex);
        lastKeyedPhotoSize = photo.size();
    }
    loadBackgroundInUse();
    // Prepared during the countdown, unless the photo came in a new size.
    const auto backdrop = photoBackdropFor(photo.size());
    if (!backdrop) return {};
    const QColor found = automatic ? DominantColorFinder::findBestColorForAutoModeInImage(photo) : QColor();
    keying::KeyParameters key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // No colour found leaves the key colour as it was.
        if (automatic) settings_.setSpotColor(found);
        applyKeySettings(photoKey_, settings_);
        key = photoKey_.parameters();
    }
    const QImage camera = keying::toPremultiplied(photo);
    return keying::composite(camera, backdrop->background, backdrop->overlay, key, std::move(recycle),
                             &backdrop->overlayRuns);
}

void GreenScreenManager::replaceBackgroundInImageFromURL(const QString& photoPath) {
    worker_.post([this, photoPath] {
        keyPhoto(photoPath);
        if (auto d = delegate()) {
            callbackExecutor_->post([d, photoPath] { d->doneGreenReplacement(photoPath); });
        }
        if (UserDefaults::standard().boolean(kMirrorLiveViewKey, false)) {
            // Photos are keyed onto the background as it is; the live view
            // then shows it so too until the background is read again.
            try {
                showPhotoBackgroundInLiveView();
            } catch (const std::exception& e) {
                spdlog::error("GreenScreenManager: cannot change the live view's background: {}", e.what());
            }
        }
    });
}

void GreenScreenManager::keyPhoto(const QString& photoPath) {
    try {
        QImage photo = std::move(photoInput_);
        if (!decodePhoto(photoPath, photo)) {
            spdlog::error("ReplaceGreenScreenBackground: the photo {} cannot be read, left as it is",
                          photoPath.toStdString());
            return;
        }
        std::function<void(const QString&)> hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hook = photoWriteHook_;
        }
        QImage keyed = keyPhotoImage(photo, std::move(photoOutput_));
        photoInput_ = std::move(photo);
        if (!WrenUtils::isValidImage(keyed)) {
            spdlog::error("ReplaceGreenScreenBackground: could not key {}, left as it is", photoPath.toStdString());
            return;
        }
        if (hook) hook(photoPath);
        // The keyed photo goes to "Green Screen" beside the photo's folder,
        // then over the captured photo, each replaced in one step: whoever
        // looks at either path finds the old file or the new one, never
        // nothing. Transparency is laid on white by the JPEG writer.
        const QFileInfo info(photoPath);
        const QString copies = QDir::cleanPath(info.absolutePath() + "/../Green Screen");
        const QString target = copies + "/" + info.fileName();
        bool written = false;
        // The copy is optional: without its folder (the start-up said so,
        // once) the keyed photo goes straight over the captured one.
        if (!QFileInfo(copies).isDir()) {
        } else if (saveImageAtURLAsJPEG(keyed, target)) {
            const auto bytes = base::readFile(target.toStdString());
            std::string error;
            written = bytes && base::writeFileAtomically(photoPath.toStdString(), *bytes, &error);
            if (!written) {
                spdlog::error("ReplaceGreenScreenBackground: could not copy {} over {}: {}", target.toStdString(),
                              photoPath.toStdString(), error);
            }
        } else {
            spdlog::error("ReplaceGreenScreenBackground: could not keep a copy at {}", target.toStdString());
        }
        if (!written && !saveImageAtURLAsJPEG(keyed, photoPath)) {
            spdlog::error("ReplaceGreenScreenBackground: could not write the keyed {}", photoPath.toStdString());
        }
        photoOutput_ = std::move(keyed);
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
