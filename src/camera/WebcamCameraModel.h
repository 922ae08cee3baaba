#pragma once
// A webcam through Qt Multimedia: live-view frames from a video sink, stills
// from image capture written into the incoming folder. Created and destroyed
// on the interface thread; its Qt objects live there.
#include <QCameraDevice>
#include <QImage>
#include <QMediaCaptureSession>
#include <QObject>

#include <atomic>
#include <map>
#include <mutex>

#include "camera/CameraModelBase.h"

class QCamera;
class QImageCapture;
class QVideoSink;
class QVideoFrame;

class WebcamCameraModel : public QObject, public CameraModelBase {
    Q_OBJECT
public:
    explicit WebcamCameraModel(const QCameraDevice& device);
    ~WebcamCameraModel() override;

    bool isReady() override;
    void takePicture() override;
    void disconnectCamera() override;
    QSize expectedPhotoSize() override;
    const QCameraDevice& device() const { return device_; }

protected:
    bool beginLiveView() override;
    void finishLiveView() override;
    QImage downloadLiveViewFrame() override;

private:
    void captureOnMain();
    void frameArrived(const QVideoFrame& frame);

    QCameraDevice device_;
    QCamera* camera_ = nullptr;
    QMediaCaptureSession session_;
    QImageCapture* capture_ = nullptr;
    QVideoSink* sink_ = nullptr;
    std::atomic<bool> wantFrames_{false};
    std::mutex frameMutex_;
    QImage latest_;
    QSize lastPhotoSize_;  // under frameMutex_
};
