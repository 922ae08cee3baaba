#include "camera/WebcamCameraModel.h"

#include <QCamera>
#include <QImageCapture>
#include <QVideoFrame>
#include <QVideoSink>

#include "base/Log.h"
#include "camera/CameraErrors.h"
#include "core/MainQueue.h"

WebcamCameraModel::WebcamCameraModel(const QCameraDevice& device)
    : CameraModelBase(device.description()), device_(device) {
    camera_ = new QCamera(device_, this);
    capture_ = new QImageCapture(this);
    sink_ = new QVideoSink(this);
    session_.setCamera(camera_);
    session_.setImageCapture(capture_);
    session_.setVideoSink(sink_);
    capture_->setQuality(QImageCapture::VeryHighQuality);
    capture_->setFileFormat(QImageCapture::JPEG);

    // Frames are converted on the thread that delivers them, and only while
    // someone is watching.
    connect(sink_, &QVideoSink::videoFrameChanged, this,
            [this](const QVideoFrame& frame) { frameArrived(frame); }, Qt::DirectConnection);
    connect(capture_, &QImageCapture::imageSaved, this,
            [this](int, const QString& fileName) {
                // The header tells the size the camera really delivers.
                if (const QSize size = uprightPhotoSize(fileName); size.isValid()) {
                    std::lock_guard lock(frameMutex_);
                    lastPhotoSize_ = size;
                }
                reportDownloaded(fileName);
            });
    connect(capture_, &QImageCapture::errorOccurred, this,
            [this](int, QImageCapture::Error error, const QString& text) {
                spdlog::error("WebcamCamera: capture failed ({}): {}", int(error), text.toStdString());
                reportFailure(error == QImageCapture::OutOfSpaceError ? CameraMessageCardFull
                                                                       : CameraMessageTakePictureFailed);
            });
    connect(capture_, &QImageCapture::readyForCaptureChanged, this, [this](bool ready) {
        if (ready) reportReady();
    });
    connect(camera_, &QCamera::errorOccurred, this, [this](QCamera::Error, const QString& text) {
        spdlog::error("WebcamCamera: {}", text.toStdString());
        CameraErrors::postMessage(CameraMessageSessionFailed);
    });
    camera_->start();
    spdlog::info("WebcamCamera: using {}", device_.description().toStdString());
}

WebcamCameraModel::~WebcamCameraModel() {
    shutdownLiveView();
    wantFrames_ = false;
    sink_->disconnect(this);
    camera_->stop();
}

bool WebcamCameraModel::isReady() {
    return camera_ && camera_->isActive() && capture_->isAvailable();
}

void WebcamCameraModel::disconnectCamera() {
    CameraModelBase::disconnectCamera();
    runOnMainThread([this] { camera_->stop(); });
}

QSize WebcamCameraModel::expectedPhotoSize() {
    {
        std::lock_guard lock(frameMutex_);
        if (lastPhotoSize_.isValid()) return lastPhotoSize_;
    }
    // Before the first photo: the capture takes the device's largest still
    // resolution unless told otherwise.
    QSize largest;
    for (const QSize& size : device_.photoResolutions())
        if (qint64(size.width()) * size.height() > qint64(largest.width()) * largest.height()) largest = size;
    return largest.isValid() ? largest : QSize();
}

void WebcamCameraModel::takePicture() {
    // Qt's capture objects live on the interface thread; the request hops
    // there and the file arrives through imageSaved.
    QMetaObject::invokeMethod(this, [this] { captureOnMain(); }, Qt::QueuedConnection);
}

void WebcamCameraModel::captureOnMain() {
    if (!camera_->isActive()) camera_->start();
    const QString path = newIncomingFilePath(QStringLiteral("jpg"));
    if (path.isEmpty()) {
        reportFailure(CameraMessageDownloadFailed);
        return;
    }
    if (capture_->captureToFile(path) < 0) reportFailure(CameraMessageNotReady);
}

bool WebcamCameraModel::beginLiveView() {
    wantFrames_ = true;
    return true;
}

void WebcamCameraModel::finishLiveView() {
    wantFrames_ = false;
    std::lock_guard lock(frameMutex_);
    latest_ = QImage();
}

void WebcamCameraModel::frameArrived(const QVideoFrame& frame) {
    if (!wantFrames_ || !frame.isValid()) return;
    QImage image = frame.toImage();
    if (image.isNull()) return;
    std::lock_guard lock(frameMutex_);
    latest_ = std::move(image);
}

QImage WebcamCameraModel::downloadLiveViewFrame() {
    std::lock_guard lock(frameMutex_);
    QImage frame = latest_;
    latest_ = QImage();  // each frame is handed over once
    return frame;
}
