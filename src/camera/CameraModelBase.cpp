#include "camera/CameraModelBase.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>

#include <chrono>

#include "base/Log.h"
#include "core/WrenUtils.h"

namespace {
constexpr auto kLiveViewInterval = std::chrono::milliseconds(50);
}

CameraModelBase::CameraModelBase(QString name)
    : name_(std::move(name)), liveViewQueue_("com.flashwren.camera.liveview") {}

CameraModelBase::~CameraModelBase() {
    shutdownLiveView();
}

bool CameraModelBase::startLiveView() {
    if (isLiveViewRunning()) {
        paused_ = false;
        return true;
    }
    if (!beginLiveView()) {
        spdlog::warn("CameraModel: {} could not start live view", name_.toStdString());
        return false;
    }
    paused_ = false;
    const std::uint64_t generation = ++generation_;
    auto id = scheduler_->every(kLiveViewInterval, &liveViewQueue_,
                                              [this, generation] { deliverFrame(generation); });
    liveViewTimer_ = id;
    if (delegate_) delegate_->cameraDidStartLiveView(this);
    return true;
}

void CameraModelBase::endLiveView() {
    auto id = liveViewTimer_.exchange(0);
    ++generation_;
    if (id == 0) return;
    scheduler_->cancel(id);
    finishLiveView();
}

void CameraModelBase::waitForFramesInFlight() {
    if (!liveViewQueue_.isCurrent()) liveViewQueue_.drain();
}

void CameraModelBase::shutdownLiveView() {
    endLiveView();
    if (!liveViewQueue_.isCurrent()) liveViewQueue_.drain();
}

void CameraModelBase::deliverFrame(std::uint64_t generation) {
    if (generation != generation_.load() || paused_) return;
    // A slow frame source must not pile up frames behind it.
    if (frameInFlight_.exchange(true)) return;
    QImage frame = downloadLiveViewFrame();
    frameInFlight_ = false;
    if (generation != generation_.load() || paused_) return;
    if (frame.isNull() || frame.width() <= 0 || frame.height() <= 0) return;
    if (delegate_) delegate_->cameraDidReceiveLiveViewImage(this, frame);
}

void CameraModelBase::setIncomingFolder(const QString& folder) {
    std::lock_guard lock(mutex_);
    incomingFolder_ = folder;
}

QString CameraModelBase::incomingFolder() const {
    {
        std::lock_guard lock(mutex_);
        if (!incomingFolder_.isEmpty()) return incomingFolder_;
    }
    return WrenUtils::getIncomingFolderPath();
}

QString CameraModelBase::newIncomingFilePath(const QString& suffix) const {
    const QString folder = incomingFolder();
    if (!QDir().mkpath(folder)) {
        spdlog::error("CameraModel: unable to create the incoming folder {}", folder.toStdString());
        return {};
    }
    const QString stem = QStringLiteral("IMG_") + WrenUtils::dateStringForFileName();
    QString path = folder + QLatin1Char('/') + stem + QLatin1Char('.') + suffix;
    for (int n = 1; QFileInfo::exists(path); ++n)
        path = folder + QLatin1Char('/') + stem + QLatin1Char('_') + QString::number(n) + QLatin1Char('.') + suffix;
    return path;
}

void CameraModelBase::reportDownloaded(const QString& path) {
    spdlog::info("CameraModel: {} downloaded {}", name_.toStdString(), path.toStdString());
    if (delegate_) delegate_->cameraDidDownloadImage(this, path);
}

void CameraModelBase::reportReady() {
    if (delegate_) delegate_->cameraReadyToTakePhoto(this);
}

void CameraModelBase::reportFailure(int code) {
    spdlog::warn("CameraModel: {} failed to take a picture (code {})", name_.toStdString(), code);
    if (delegate_) delegate_->cameraDidFailToTakePicture(this, code);
}

QSize CameraModelBase::uprightPhotoSize(const QString& path) {
    QImageReader reader(path);
    QSize size = reader.size();
    if (!size.isValid()) return {};
    if (reader.transformation() & QImageIOHandler::TransformationRotate90) size.transpose();
    return size;
}
