#include "templates/ImageUtils.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QUrl>

#include <algorithm>
#include <mutex>

#include "base/Files.h"
#include "base/Log.h"

namespace ImageUtils {

void allowLargeImages() {
    static std::once_flag once;
    // Qt refuses images above 128 MB by default; a 50-megapixel photo decodes
    // to 200 MB (and twice that at 16 bits a channel).
    std::call_once(once, [] {
        if (QImageReader::allocationLimit() < 1024) QImageReader::setAllocationLimit(1024);
    });
}

QImage loadImage(const QString& path) {
    allowLargeImages();
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QImage image = reader.read();
    if (image.isNull()) spdlog::error("ImageUtils: unable to read {}: {}", path.toStdString(), reader.errorString().toStdString());
    return image;
}

}  // namespace ImageUtils

bool saveImageAtURLAsJPEG(const QImage& image, const QString& path) {
    if (image.isNull() || path.isEmpty()) return false;
    QString file = path.startsWith(QLatin1String("file:")) ? QUrl(path).toLocalFile() : path;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(100);
    // JPEG has no alpha: a transparent image is laid on white rather than black.
    QImage opaque = image;
    if (image.hasAlphaChannel()) {
        opaque = QImage(image.size(), QImage::Format_RGB32);
        opaque.fill(Qt::white);
        QPainter(&opaque).drawImage(0, 0, image);
    }
    if (!writer.write(opaque)) {
        spdlog::error("ImageUtils: unable to encode {} as JPEG: {}", file.toStdString(), writer.errorString().toStdString());
        return false;
    }
    std::string error;
    if (!base::writeFileAtomically(file.toStdString(), std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), &error)) {
        spdlog::error("ImageUtils: {}", error);
        return false;
    }
    return true;
}

QImage resizeImageToSize(const QImage& image, const QSize& size) {
    if (image.isNull() || size.isEmpty()) return {};
    return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QSizeF sizeByScalingProportionallyToSize(const QSizeF& target, const QSizeF& source) {
    if (source.width() <= 0 || source.height() <= 0 || target.width() <= 0 || target.height() <= 0) return {0, 0};
    double ratio = std::min(target.width() / source.width(), target.height() / source.height());
    return {source.width() * ratio, source.height() * ratio};
}

QRectF imageFrame(const QSizeF& viewSize, const QSizeF& imageSize) {
    QSizeF s = sizeByScalingProportionallyToSize(viewSize, imageSize);
    return {(viewSize.width() - s.width()) / 2.0, (viewSize.height() - s.height()) / 2.0, s.width(), s.height()};
}
