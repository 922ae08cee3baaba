#pragma once
// A camera over a folder of images: live view shows the images in turn and
// each picture is the next image, copied into the incoming folder. The
// booth's embedded camera when no webcam is connected, and the tests' camera.
#include <QImage>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "camera/CameraModelBase.h"

class FolderCameraModel : public CameraModelBase {
public:
    explicit FolderCameraModel(QString folder, QString name = QStringLiteral("Demo Camera"));
    ~FolderCameraModel() override;

    bool isReady() override;
    bool prepareForNewSession() override;
    void takePicture() override;
    QSize expectedPhotoSize() override;

    const QString& folder() const { return folder_; }
    QStringList imagePaths();

    // For tests: a camera that ignores requests, or answers late.
    void setAnswersRequests(bool answers) { answers_ = answers; }
    void setResponseDelay(std::chrono::milliseconds delay) { delay_ = delay; }
    int picturesTaken() const { return taken_; }

protected:
    QImage downloadLiveViewFrame() override;
    void finishLiveView() override;

private:
    void rescan();
    void copyNext(int index);

    QString folder_;
    std::mutex mutex_;
    QStringList images_;
    bool scanned_ = false;
    std::vector<QImage> frames_;  // scaled copies for live view, made on first use
    std::atomic<bool> answers_{true};
    std::atomic<std::chrono::milliseconds> delay_{std::chrono::milliseconds(0)};
    std::atomic<int> taken_{0};
    std::atomic<int> frameCounter_{0};
};
