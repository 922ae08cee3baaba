#pragma once
// How the booth screens and the green-screen window hear from the camera.
// didReceivedLiveViewImage arrives on the thread that produced the frame and
// only for valid frames; every other call arrives on the interface thread.
#include <QImage>
#include <QString>

class CameraManagerDelegate {
public:
    virtual ~CameraManagerDelegate() = default;
    virtual void didDownloadedImageAtPath(const QString& path) = 0;
    virtual void deviceReadyToTakePhoto() = 0;
    virtual void didReceivedLiveViewImage(const QImage& image) = 0;
    virtual void didFailedToTakePicture() = 0;
    virtual void didStartedLiveView() = 0;
};
