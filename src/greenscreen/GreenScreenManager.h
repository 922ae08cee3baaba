#pragma once
// Keys one photo session's photos and live-view frames: picks the
// background of each photo (in turn, or the guest's choice), finds the key
// colour when it is automatic, and writes each keyed photo over the
// captured one with a copy in the data folder's "Green Screen".
//
// Photos and background loads run in order on the manager's own worker
// thread; a live-view frame is keyed on the calling thread, and dropped
// when that worker is busy rather than waiting for it.
#include <QImage>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "base/Executor.h"
#include "greenscreen/BackgroundImage.h"
#include "greenscreen/GreenScreenFilterSettings.h"
#include "greenscreen/GreenScreenFilters.h"

// Told when a captured photo has been dealt with.
class GreenScreenManagerDelegate {
public:
    virtual ~GreenScreenManagerDelegate() = default;
    // On the main thread, exactly once per photo handed over; the photo at
    // `photoPath` is keyed, or left as it was when keying failed.
    virtual void doneGreenReplacement(const QString& photoPath) = 0;
};

inline constexpr const char* kNoGreenScreenBackgroundExceptionName = "NoGreenScreenBackgroundException";
inline constexpr const char* kNoGreenScreenBackgroundsReason =
    "\t\tNo Green Screen Backgrounds.\nPlease specify green screen backgrounds.";

// No background is configured for the way backgrounds are chosen.
class NoGreenScreenBackgroundException : public std::runtime_error {
public:
    NoGreenScreenBackgroundException() : std::runtime_error(kNoGreenScreenBackgroundsReason) {}
    const char* name() const { return kNoGreenScreenBackgroundExceptionName; }
    QString reason() const { return QString::fromUtf8(what()); }
};

class GreenScreenManager {
public:
    // Reads the key settings and backgrounds; throws
    // NoGreenScreenBackgroundException when there is no background to use.
    GreenScreenManager();
    // Waits for the photos already handed over.
    ~GreenScreenManager();
    GreenScreenManager(const GreenScreenManager&) = delete;
    GreenScreenManager& operator=(const GreenScreenManager&) = delete;

    void initImages();
    [[noreturn]] static void raiseExceptionForNoBackgroundImages();
    void loadAllBackgroundsImagesForAutoMode();
    void loadSelectedImagesForManualMode();
    // Automatic selection: the next background in turn (the turn is shared
    // by every manager of the run). Manual: the chosen one, once. Runs on
    // the worker, after the photos handed over before it.
    void updateBackgroundImageIndex();
    // Flipped left to right when the live view is mirrored (MirrorLiveView).
    static QImage getMirroedImageForImageIfNeeded(const QImage& image);

    // Keys a photo now, on the calling thread.
    QImage replaceBackgroundInImage(const QImage& image);
    // Keys a live-view frame now; a null image when the frame is dropped
    // because a photo is being keyed (keep showing the previous frame).
    QImage replaceBackgroundInImageForLiveView(const QImage& frame);
    // Keys the captured photo at `photoPath` on the worker, writes it over
    // the photo (atomically) and into "Green Screen" beside the photo's
    // folder, then tells the delegate on the main thread.
    void replaceBackgroundInImageFromURL(const QString& photoPath);

    // Held strongly: a photo's report keeps its delegate alive until delivered.
    std::shared_ptr<GreenScreenManagerDelegate> delegate() const;
    void setDelegate(std::shared_ptr<GreenScreenManagerDelegate> delegate);
    std::int64_t imageNumber() const { return imageNumber_.load(); }
    void setImageNumber(std::int64_t n) { imageNumber_.store(n); }
    GreenScreenFilterSettings settings() const;
    GreenScreenFilterSettings liveViewSettings() const;
    std::shared_ptr<GreenScreenFilters> gpuImageFilters() const;
    std::vector<BackgroundImagePtr> backgroundImages() const;
    // The background in use (null when none).
    BackgroundImagePtr backgrounds() const;

    // Where the delegate is called (the main queue unless replaced).
    void setCallbackExecutor(base::Executor* executor) { callbackExecutor_ = executor; }
    // Waits until the worker has run everything handed to it.
    void waitUntilIdle() { worker_.drain(); }
    // The shared turn of automatic selection (-1 before the first).
    static int currentRotationIndex();

private:
    void initImagesLocked();
    void loadAllBackgroundsImagesForAutoModeLocked();
    void loadSelectedImagesForManualModeLocked();
    void updateBackgroundImageIndexLocked();
    void loadBackgroundInUseLocked();
    QImage replaceBackgroundInImageLocked(const QImage& image, bool liveView);
    void keyPhoto(const QString& photoPath);

    mutable std::mutex mutex_;
    BackgroundImagePtr backgrounds_;
    bool backgroundNeedsLoading_ = false;
    QImage unmirroredBackground_;
    std::shared_ptr<GreenScreenFilters> gpuImageFilters_;
    GreenScreenFilterSettings settings_;
    GreenScreenFilterSettings liveViewSettings_;
    mutable std::mutex delegateMutex_;
    std::shared_ptr<GreenScreenManagerDelegate> delegate_;
    std::atomic<std::int64_t> imageNumber_{0};
    std::vector<BackgroundImagePtr> backgroundImages_;
    base::Executor* callbackExecutor_;
    // Last, so that it finishes its work before anything else goes.
    base::SerialQueue worker_{"GreenScreen"};
};
