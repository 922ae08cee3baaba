#include "camera/CameraManager.h"

#include <QCameraDevice>
#include <QMediaDevices>
#include <QObject>

#include "base/AppInfo.h"
#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "camera/CameraErrors.h"
#include "camera/FolderCameraModel.h"
#include "camera/WebcamCameraModel.h"
#include "core/MainQueue.h"
#include "core/Notifications.h"

CameraManager& CameraManager::sharedCameraManager() {
    static CameraManager* manager = new CameraManager();
    return *manager;
}

void CameraManager::setDelegate(std::shared_ptr<CameraManagerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<CameraManagerDelegate> CameraManager::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

std::shared_ptr<CameraModelBase> CameraManager::cameraModel() const {
    std::lock_guard lock(mutex_);
    return model_;
}

bool CameraManager::isActive(CameraModelBase* model) const {
    std::lock_guard lock(mutex_);
    return model_.get() == model;
}

template <class F>
void CameraManager::onMain(F&& call) {
    // Read the delegate when the call runs, so a screen that has let go of
    // the camera hears nothing more.
    MainQueue::shared().post([this, call = std::forward<F>(call)]() mutable {
        if (auto d = delegate()) call(*d);
    });
}

void CameraManager::setCameraModel(std::shared_ptr<CameraModelBase> model) {
    std::shared_ptr<CameraModelBase> old;
    {
        std::lock_guard lock(mutex_);
        if (model_ == model) return;
        old = std::move(model_);
        model_ = std::move(model);
        if (model_) model_->setDelegate(this);
    }
    if (old) {
        old->setDelegate(nullptr);
        old->disconnectCamera();
    }
    if (auto m = cameraModel()) spdlog::info("CameraManager: active camera is {}", m->name().toStdString());
}

bool CameraManager::isDeviceReadyForNewSession() {
    auto model = cameraModel();
    if (!model) return false;
    return model->prepareForNewSession();
}

bool CameraManager::startLiveView() {
    auto model = cameraModel();
    if (!model) return false;
    if (!model->startLiveView()) {
        CameraErrors::postMessage(CameraMessageLiveViewFailed);
        return false;
    }
    cancelIdleTimer();
    // A live view nobody ends must not run the camera all night.
    auto id = base::Scheduler::shared().after(idleTimeout_, nullptr, [this] {
        spdlog::info("CameraManager: live view idle for too long, ending it");
        endLiveView();
    });
    std::lock_guard lock(mutex_);
    idleTimer_ = id;
    return true;
}

void CameraManager::cancelIdleTimer() {
    base::Scheduler::TimerId id;
    {
        std::lock_guard lock(mutex_);
        id = idleTimer_;
        idleTimer_ = 0;
    }
    if (id) base::Scheduler::shared().cancel(id);
}

void CameraManager::endLiveView() {
    cancelIdleTimer();
    if (auto model = cameraModel()) model->endLiveView();
}

void CameraManager::pauseLiveView() {
    if (auto model = cameraModel()) model->pauseLiveView();
}

void CameraManager::resumeLiveView() {
    if (auto model = cameraModel()) model->resumeLiveView();
}

bool CameraManager::isLiveViewRunning() const {
    auto model = cameraModel();
    return model && model->isLiveViewRunning();
}

void CameraManager::takePicture() {
    auto model = cameraModel();
    if (!model) {
        spdlog::warn("CameraManager: take picture without a camera");
        CameraErrors::postMessage(CameraMessageNoCamera);
        onMain([](CameraManagerDelegate& d) { d.didFailedToTakePicture(); });
        return;
    }
    spdlog::info("CameraManager: taking a picture with {}", model->name().toStdString());
    model->takePicture();
}

QSize CameraManager::expectedPhotoSize() const {
    const auto model = cameraModel();
    return model ? model->expectedPhotoSize() : QSize();
}

void CameraManager::setLiveViewIdleTimeout(std::chrono::milliseconds timeout) {
    idleTimeout_ = timeout;
}

QString CameraManager::demoCameraFolder() {
    return QString::fromStdString(base::AppInfo::shared().resourcesDir()) + QStringLiteral("/DemoCamera");
}

void CameraManager::startCameraBrowser() {
    if (devices_) return;
    devices_ = new QMediaDevices();
    browserContext_ = new QObject();
    QObject::connect(devices_, &QMediaDevices::videoInputsChanged, browserContext_, [this] { chooseCamera(); });
    chooseCamera();
}

void CameraManager::stopCameraBrowser() {
    delete browserContext_;
    browserContext_ = nullptr;
    delete devices_;
    devices_ = nullptr;
}

void CameraManager::disconnectCamera() {
    cancelIdleTimer();
    setCameraModel(nullptr);
}

void CameraManager::chooseCamera() {
    const auto inputs = QMediaDevices::videoInputs();
    auto current = cameraModel();
    auto* webcam = dynamic_cast<WebcamCameraModel*>(current.get());
    if (webcam) {
        for (const QCameraDevice& device : inputs)
            if (device == webcam->device()) return;  // still connected
        spdlog::warn("CameraManager: {} was removed", webcam->name().toStdString());
        base::NotificationCenter::defaultCenter().post(kConnectedCameraDidRemovedNotification);
        CameraErrors::postMessage(CameraMessageDisconnected);
    } else if (current && inputs.isEmpty()) {
        return;  // keep the folder camera
    }
    if (!inputs.isEmpty()) {
        const QCameraDevice device = QMediaDevices::defaultVideoInput().isNull() ? inputs.first()
                                                                                 : QMediaDevices::defaultVideoInput();
        std::shared_ptr<CameraModelBase> model(new WebcamCameraModel(device), [](CameraModelBase* m) {
            static_cast<WebcamCameraModel*>(m)->deleteLater();
        });
        setCameraModel(model);
        return;
    }
    spdlog::info("CameraManager: no camera connected, using the demo camera");
    setCameraModel(std::make_shared<FolderCameraModel>(demoCameraFolder()));
}

void CameraManager::cameraDidDownloadImage(CameraModelBase* model, const QString& path) {
    if (!isActive(model)) return;
    onMain([path](CameraManagerDelegate& d) { d.didDownloadedImageAtPath(path); });
}

void CameraManager::cameraReadyToTakePhoto(CameraModelBase* model) {
    if (!isActive(model)) return;
    onMain([](CameraManagerDelegate& d) { d.deviceReadyToTakePhoto(); });
}

void CameraManager::cameraDidReceiveLiveViewImage(CameraModelBase* model, const QImage& image) {
    if (!isActive(model)) return;
    if (auto d = delegate()) d->didReceivedLiveViewImage(image);
}

void CameraManager::cameraDidFailToTakePicture(CameraModelBase* model, int code) {
    if (!isActive(model)) return;
    CameraErrors::postMessage(code);
    onMain([](CameraManagerDelegate& d) { d.didFailedToTakePicture(); });
}

void CameraManager::cameraDidStartLiveView(CameraModelBase* model) {
    if (!isActive(model)) return;
    onMain([](CameraManagerDelegate& d) { d.didStartedLiveView(); });
}
