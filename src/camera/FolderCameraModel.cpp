#include "camera/FolderCameraModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <thread>

#include "base/Log.h"
#include "camera/CameraErrors.h"

namespace {
constexpr int kLiveViewWidth = 960;
// Each image stays on screen this many frames (two seconds at 50 ms).
constexpr int kFramesPerImage = 40;

bool isImageFile(const QFileInfo& info) {
    static const QStringList suffixes = {"jpg", "jpeg", "png", "bmp", "tif", "tiff", "webp"};
    return info.isFile() && suffixes.contains(info.suffix().toLower());
}
}  // namespace

FolderCameraModel::FolderCameraModel(QString folder, QString name)
    : CameraModelBase(std::move(name)), folder_(std::move(folder)) {}

FolderCameraModel::~FolderCameraModel() {
    shutdownLiveView();
}

void FolderCameraModel::rescan() {
    QStringList found;
    const auto entries = QDir(folder_).entryInfoList(QDir::Files, QDir::Name);
    for (const QFileInfo& info : entries)
        if (isImageFile(info)) found << info.absoluteFilePath();
    std::lock_guard lock(mutex_);
    if (found != images_) frames_.clear();
    images_ = found;
    scanned_ = true;
}

QStringList FolderCameraModel::imagePaths() {
    {
        std::lock_guard lock(mutex_);
        if (scanned_) return images_;
    }
    rescan();
    std::lock_guard lock(mutex_);
    return images_;
}

bool FolderCameraModel::isReady() {
    return !imagePaths().isEmpty();
}

bool FolderCameraModel::prepareForNewSession() {
    rescan();
    const bool ready = isReady();
    if (ready) reportReady();
    return ready;
}

void FolderCameraModel::takePicture() {
    const int index = taken_++;
    if (!answers_) {
        spdlog::warn("FolderCamera: ignoring the picture request");
        return;
    }
    // A slow camera holds the take-picture queue, as a real one does.
    const auto delay = delay_.load();
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    copyNext(index);
}

QSize FolderCameraModel::expectedPhotoSize() {
    const QStringList images = imagePaths();
    if (images.isEmpty()) return {};
    // The photo is the file as it is.
    return uprightPhotoSize(images.at(taken_.load() % images.size()));
}

void FolderCameraModel::copyNext(int index) {
    const QStringList images = imagePaths();
    if (images.isEmpty()) {
        reportFailure(CameraMessageNoCamera);
        return;
    }
    const QString source = images.at(index % images.size());
    const QString suffix = QFileInfo(source).suffix().toLower();
    const QString target = newIncomingFilePath(suffix.isEmpty() ? QStringLiteral("jpg") : suffix);
    if (target.isEmpty() || !QFile::copy(source, target)) {
        spdlog::error("FolderCamera: unable to copy {} into the incoming folder", source.toStdString());
        reportFailure(CameraMessageDownloadFailed);
        return;
    }
    reportDownloaded(target);
}

QImage FolderCameraModel::downloadLiveViewFrame() {
    const QStringList images = imagePaths();
    if (images.isEmpty()) return {};
    std::vector<QImage> frames;
    {
        std::lock_guard lock(mutex_);
        frames = frames_;
    }
    if (frames.empty()) {
        // Decoded once, scaled to screen size, so each frame is cheap.
        for (const QString& path : images) {
            QImageReader reader(path);
            reader.setAutoTransform(true);
            const QSize size = reader.size();
            if (size.isValid() && size.width() > kLiveViewWidth)
                reader.setScaledSize(size.scaled(kLiveViewWidth, size.height() * kLiveViewWidth / size.width(),
                                                 Qt::KeepAspectRatio));
            QImage image = reader.read();
            if (!image.isNull()) frames.push_back(image);
        }
        if (frames.empty()) return {};
        std::lock_guard lock(mutex_);
        frames_ = frames;
    }
    const int n = frameCounter_++;
    return frames.at((n / kFramesPerImage) % frames.size());
}

void FolderCameraModel::finishLiveView() {
    frameCounter_ = 0;
}
