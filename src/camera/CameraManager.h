#pragma once
// The one camera manager: chooses the active camera model, starts and ends
// its live view and takes pictures with it, and hands the results to its
// delegate (held strongly).
#include <QSize>
#include <QString>

#include <chrono>
#include <memory>
#include <mutex>

#include "base/Scheduler.h"
#include "camera/CameraManagerDelegate.h"
#include "camera/CameraModelBase.h"

class QMediaDevices;
class QObject;

class CameraManager : public CameraModelBaseDelegate {
public:
    static CameraManager& sharedCameraManager();

    // Held strongly until replaced; null clears it.
    void setDelegate(std::shared_ptr<CameraManagerDelegate> delegate);
    std::shared_ptr<CameraManagerDelegate> delegate() const;

    // False without a camera or when the camera is not ready; the model
    // re-reads its folders first.
    bool isDeviceReadyForNewSession();
    // Live view of the active model; it ends by itself after the idle time
    // (600 seconds) unless ended before.
    bool startLiveView();
    void endLiveView();
    void pauseLiveView();
    void resumeLiveView();
    bool isLiveViewRunning() const;
    // Takes one picture with the active camera. Blocks as long as the camera
    // does: call it on a serial queue, never on the interface thread.
    void takePicture();
    // The size of the active camera's next photo; empty without a camera or
    // when the camera cannot tell. Any thread.
    QSize expectedPhotoSize() const;

    // Finds the camera (a webcam when one is connected, else the demo camera)
    // and follows cameras being plugged and unplugged. Interface thread.
    void startCameraBrowser();
    void stopCameraBrowser();
    // Ends live view and closes the camera.
    void disconnectCamera();

    // Makes `model` the active camera (the browser does; tests too).
    void setCameraModel(std::shared_ptr<CameraModelBase> model);
    std::shared_ptr<CameraModelBase> cameraModel() const;
    void setLiveViewIdleTimeout(std::chrono::milliseconds timeout);
    // The folder of the demo camera's photos among the resources.
    static QString demoCameraFolder();

    // CameraModelBaseDelegate
    void cameraDidDownloadImage(CameraModelBase* model, const QString& path) override;
    void cameraReadyToTakePhoto(CameraModelBase* model) override;
    void cameraDidReceiveLiveViewImage(CameraModelBase* model, const QImage& image) override;
    void cameraDidFailToTakePicture(CameraModelBase* model, int code) override;
    void cameraDidStartLiveView(CameraModelBase* model) override;

private:
    CameraManager() = default;
    bool isActive(CameraModelBase* model) const;
    void chooseCamera();
    void cancelIdleTimer();
    template <class F>
    void onMain(F&& call);

    mutable std::mutex mutex_;
    std::shared_ptr<CameraManagerDelegate> delegate_;
    std::shared_ptr<CameraModelBase> model_;
    std::chrono::milliseconds idleTimeout_{std::chrono::seconds(600)};
    base::Scheduler::TimerId idleTimer_ = 0;
    QMediaDevices* devices_ = nullptr;
    QObject* browserContext_ = nullptr;
};
