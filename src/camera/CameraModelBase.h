#pragma once
// Base of the camera models. A model takes pictures into the "incoming"
// folder and serves live-view frames; it reports to the camera manager
// through CameraModelBaseDelegate.
#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/Executor.h"
#include "base/Scheduler.h"

class CameraModelBase;

class CameraModelBaseDelegate {
public:
    virtual ~CameraModelBaseDelegate() = default;
    virtual void cameraDidDownloadImage(CameraModelBase* model, const QString& path) = 0;
    virtual void cameraReadyToTakePhoto(CameraModelBase* model) = 0;
    // On the live-view queue.
    virtual void cameraDidReceiveLiveViewImage(CameraModelBase* model, const QImage& image) = 0;
    // `code` is a camera message code (CameraErrors).
    virtual void cameraDidFailToTakePicture(CameraModelBase* model, int code) = 0;
    virtual void cameraDidStartLiveView(CameraModelBase* model) = 0;
};

class CameraModelBase {
public:
    explicit CameraModelBase(QString name);
    virtual ~CameraModelBase();
    CameraModelBase(const CameraModelBase&) = delete;
    CameraModelBase& operator=(const CameraModelBase&) = delete;

    const QString& name() const { return name_; }
    void setDelegate(CameraModelBaseDelegate* delegate) { delegate_ = delegate; }

    // Whether a picture can be taken now.
    virtual bool isReady() = 0;
    // Called before each session: re-reads what the model keeps of its
    // folders; false when the model cannot serve a session.
    virtual bool prepareForNewSession() { return isReady(); }
    // Asks for one photo. Runs on the caller's thread (a serial queue, never
    // the interface thread); the file arrives later through the delegate.
    virtual void takePicture() = 0;
    // Closes the device; the model is not used afterwards.
    virtual void disconnectCamera() { endLiveView(); }
    // The size, upright, of the next photo the model will take; empty when it
    // cannot tell. Cheap and callable from any thread, so work that depends on
    // the photo's size can be done before the photo arrives.
    virtual QSize expectedPhotoSize() { return {}; }

    // Frames every 50 ms on the model's live-view queue until ended.
    bool startLiveView();
    void endLiveView();
    void pauseLiveView() { paused_ = true; }
    void resumeLiveView() { paused_ = false; }
    bool isLiveViewRunning() const { return liveViewTimer_.load() != 0; }
    bool isLiveViewPaused() const { return paused_; }
    // The timers that pace the frames: the shared scheduler unless a test
    // hands in one on a clock it moves. Set before live view starts.
    void setLiveViewScheduler(base::Scheduler* scheduler) { scheduler_ = scheduler; }
    // Returns once every frame asked for so far was delivered or dropped.
    void waitForFramesInFlight();

    // Where photos are downloaded to; empty means the data folder's "incoming".
    void setIncomingFolder(const QString& folder);
    QString incomingFolder() const;

protected:
    // Model-specific start and stop of the frame source.
    virtual bool beginLiveView() { return true; }
    virtual void finishLiveView() {}
    // The frame to show now, null when there is none. On the live-view queue.
    virtual QImage downloadLiveViewFrame() = 0;
    // The size of the photo file at `path` as shown upright (EXIF rotation
    // applied), from its header alone; empty when it cannot be read.
    static QSize uprightPhotoSize(const QString& path);
    // A new unused file path in the incoming folder, made if missing; "" when
    // the folder cannot be made.
    QString newIncomingFilePath(const QString& suffix) const;

    // Ends live view and waits for a frame in progress; derived destructors
    // call it so no frame is asked of a half-destroyed model.
    void shutdownLiveView();

    void reportDownloaded(const QString& path);
    void reportReady();
    void reportFailure(int code);

private:
    void deliverFrame(std::uint64_t generation);

    QString name_;
    CameraModelBaseDelegate* delegate_ = nullptr;
    std::atomic<bool> paused_{false};
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<bool> frameInFlight_{false};
    std::atomic<base::Scheduler::TimerId> liveViewTimer_{0};
    base::Scheduler* scheduler_ = &base::Scheduler::shared();
    mutable std::mutex mutex_;
    QString incomingFolder_;
    base::SerialQueue liveViewQueue_;
};
