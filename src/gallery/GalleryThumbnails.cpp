#include "gallery/GalleryThumbnails.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include <spdlog/spdlog.h>

#include "base/Files.h"
#include "core/WrenUtils.h"
#include "gallery/PostHTTPServerUtilis.h"

namespace {
bool isRegularFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

QImage GalleryThumbnails::makeThumbnail(const std::string& photoPath) {
    QImageReader reader(QString::fromStdString(photoPath));
    reader.setAutoTransform(true);
    const QSize raw = reader.size();
    if (raw.isValid() && raw.width() > 0 && raw.height() > 0) {
        // Fitting into a square does not depend on the orientation, so the
        // scale found on the stored size holds after the EXIF rotation too.
        const float scale = std::min(float(kSide) / float(raw.width()), float(kSide) / float(raw.height()));
        if (scale < 1.0f) {
            QSize scaled(std::max(1, int(std::lround(raw.width() * scale))),
                         std::max(1, int(std::lround(raw.height() * scale))));
            reader.setScaledSize(scaled);
        }
    }
    QImage image = reader.read();
    if (!WrenUtils::isValidImage(image)) return {};
    QImage fitted = PostHTTPServerUtilis::scaleImage(image, QSize(kSide, kSide));
    if (!WrenUtils::isValidImage(fitted)) return {};
    return fitted;
}

GalleryThumbnails::Result GalleryThumbnails::thumbnail(const std::string& printsDir, const std::string& name) {
    const std::string thumbDir = printsDir + "/thumb";
    const std::string thumbPath = thumbDir + "/" + name;
    if (isRegularFile(thumbPath)) return {Result::File, thumbPath, {}};

    std::shared_future<Result> waitFor;
    std::promise<Result> promise;
    bool maker = false;
    {
        std::lock_guard lock(mutex_);
        auto it = inflight_.find(thumbPath);
        if (it != inflight_.end()) {
            waitFor = it->second;
        } else {
            waitFor = promise.get_future().share();
            inflight_.emplace(thumbPath, waitFor);
            maker = true;
        }
    }
    if (!maker) return waitFor.get();

    Result result;
    try {
        // A maker that finished just before we registered has left the file.
        if (isRegularFile(thumbPath)) result = {Result::File, thumbPath, {}};
        else result = make(printsDir, name);
    } catch (const std::exception& e) {
        spdlog::error("MyHTTPConnection: thumbnail of {} failed: {}", name, e.what());
        result = {};
    }
    promise.set_value(result);
    std::lock_guard lock(mutex_);
    inflight_.erase(thumbPath);
    return result;
}

GalleryThumbnails::Result GalleryThumbnails::make(const std::string& printsDir, const std::string& name) {
    const std::string thumbDir = printsDir + "/thumb";
    std::error_code ec;
    std::filesystem::create_directories(thumbDir, ec);
    const std::string photoPath = printsDir + "/" + name;
    if (!isRegularFile(photoPath)) {
        spdlog::error("MyHTTPConnection: thumbnail not created as image didn't exist. {}", photoPath);
        return {Result::Empty, {}, {}};
    }
    QImage thumb = makeThumbnail(photoPath);
    if (thumb.isNull()) return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!thumb.save(&buffer, "JPG")) return {};
    std::string data(bytes.constData(), size_t(bytes.size()));
    std::string error;
    if (!base::writeFileAtomically(thumbDir + "/" + name, data, &error))
        spdlog::error("MyHTTPConnection: cannot write thumbnail {}: {}", name, error);
    {
        std::lock_guard lock(mutex_);
        ++made_;
    }
    return {Result::Data, {}, std::move(data)};
}

int GalleryThumbnails::madeCount() const {
    std::lock_guard lock(mutex_);
    return made_;
}
