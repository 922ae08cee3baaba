#pragma once
// Keys one photo session's photos and live-view frames: picks the
// background of each photo (in turn, or the guest's choice), finds the key
// colour when it is automatic, and writes each keyed photo over the
// captured one with a copy in the data folder's "Green Screen".
//
// Photos and background loads run in order on the manager's own worker
// thread; a live-view frame is keyed on the calling thread. The manager's
// lock covers only its shared state, never decoding, scaling, encoding or
// writing, so live-view frames keep coming while a photo is keyed; a frame
// is dropped, never queued, in the rare moment the lock is taken.
//
// As soon as the next background is decided (at the start of a session and
// whenever the booth moves to the next one) and the photo size is known (the
// last photo's, in this session or an earlier one of the run), the worker
// scales the background and overlay to the photo size while the countdown
// runs; the photo then only needs the key itself.
#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
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

    // Keys a photo now, on the calling thread (transparent background areas
    // stay transparent; the written photo lays them on white).
    QImage replaceBackgroundInImage(const QImage& image);
    // Keys a live-view frame now; a null image when the frame is dropped
    // because the manager's state is being changed at that moment (keep
    // showing the previous frame). After a background change the frames are
    // keyed onto the last background until the worker has the new one ready.
    QImage replaceBackgroundInImageForLiveView(const QImage& frame);
    // Keys the captured photo at `photoPath` on the worker, writes it as JPEG
    // (transparency laid on white) into "Green Screen" beside the photo's
    // folder and over the photo, each atomically, then tells the delegate on
    // the main thread.
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

    // The background made ready for the next photo: the background in use,
    // scaled to `size` (its overlay too); a null background before anything
    // is prepared.
    struct PreparedPhotoBackground {
        BackgroundImagePtr background;
        QSize size;
    };
    PreparedPhotoBackground preparedPhotoBackground() const;
    // The size of the last photo keyed in this run (empty before the first):
    // the size the next session's first background is prepared at.
    static QSize lastPhotoSize();
    // Called on the worker once a photo is keyed, before it is encoded and
    // written (tests hold the photo there).
    void setPhotoWriteHook(std::function<void(const QString& photoPath)> hook);

    // Where the delegate is called (the main queue unless replaced).
    void setCallbackExecutor(base::Executor* executor) { callbackExecutor_ = executor; }
    // Waits until the worker has run everything handed to it.
    void waitUntilIdle() { worker_.drain(); }
    // The shared turn of automatic selection (-1 before the first).
    static int currentRotationIndex();

private:
    // One background with its overlay at one photo size, ready for the
    // kernels; never changed once made, so photos use it without the lock.
    struct PhotoBackdrop {
        BackgroundImagePtr source;
        QSize size;
        QImage background;  // unmirrored, filling the photo, laid on white
        QImage overlay;     // stretched over the photo; null without one
        keying::OverlayRuns overlayRuns;
    };

    void initImagesLocked();
    void loadAllBackgroundsImagesForAutoModeLocked();
    void loadSelectedImagesForManualModeLocked();
    void updateBackgroundImageIndexLocked();
    // Reads the pictures of the background in use when they are not read
    // yet: from disk without the lock, then put in place under it.
    void loadBackgroundInUse();
    // A live-view compositor of these pictures, made ready for frames of
    // `size` (when known).
    static std::shared_ptr<GreenScreenFilters> liveViewCompositor(const QImage& background, const QImage& overlay,
                                                                  const QSize& size);
    // After a photo with a mirrored live view: the live view keys onto the
    // unmirrored background the photo was keyed onto.
    void showPhotoBackgroundInLiveView();
    // The prepared backdrop of the background in use at `size`, made now
    // when there is none. Null when the background cannot be read.
    std::shared_ptr<const PhotoBackdrop> photoBackdropFor(const QSize& size);
    // The worker's preparation for the next photo.
    void prepareNextPhoto();
    void resetPhotoKeyLocked();
    // The photo keyed onto the background in use (null when it cannot be),
    // written into `recycle` when it fits.
    QImage keyPhotoImage(const QImage& photo, QImage recycle);
    void keyPhoto(const QString& photoPath);

    mutable std::mutex mutex_;
    BackgroundImagePtr backgrounds_;
    bool backgroundNeedsLoading_ = false;
    QImage unmirroredBackground_;
    BackgroundImagePtr unmirroredOf_;  // whose pictures are read
    QSize liveFrameSize_;
    std::shared_ptr<GreenScreenFilters> gpuImageFilters_;
    GreenScreenFilterSettings settings_;
    GreenScreenFilterSettings liveViewSettings_;
    mutable std::mutex delegateMutex_;
    std::shared_ptr<GreenScreenManagerDelegate> delegate_;
    std::atomic<std::int64_t> imageNumber_{0};
    std::vector<BackgroundImagePtr> backgroundImages_;
    // The photos' own key: the live view's compositor keeps another.
    ChromaKeyBlendFilter photoKey_;
    QSize photoSize_;
    std::shared_ptr<const PhotoBackdrop> prepared_;
    std::function<void(const QString&)> photoWriteHook_;
    // The worker's alone: the decoded photo and the keyed one, reused from
    // photo to photo (fresh images of 100 MB cost their page faults each time).
    QImage photoInput_;
    QImage photoOutput_;
    std::atomic<bool> stopping_{false};
    base::Executor* callbackExecutor_;
    // Last, so that it finishes its work before anything else goes.
    base::SerialQueue worker_{"GreenScreen"};
};
