#include "templates/LayoutEngine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>

#include "base/Log.h"
#include "core/WrenUtils.h"
#include "templates/ImageUtils.h"
#include "templates/TETemplateDocument.h"

namespace {
// 300 dpi, so a printer puts the template's pixels at their intended size.
constexpr int kDotsPerMeter = 11811;

// Fills `frame` with `image`, cropping what overhangs, centred.
void drawCovering(QPainter& p, const QRectF& frame, const QImage& image) {
    const QSizeF src = image.size();
    const double scale = std::max(frame.width() / src.width(), frame.height() / src.height());
    const QSizeF shown(frame.width() / scale, frame.height() / scale);
    const QRectF source((src.width() - shown.width()) / 2, (src.height() - shown.height()) / 2, shown.width(),
                        shown.height());
    p.drawImage(frame, image, source);
}

// Decodes a photo straight at the size that covers `need` (JPEG decoders
// shrink while decoding, far cheaper than decoding in full and scaling),
// with its EXIF orientation applied.
QImage loadForSlot(const QString& path, QSizeF need) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    if (full.isValid() && !need.isEmpty()) {
        // The reader scales before it turns the image upright.
        if (reader.transformation() & QImageIOHandler::TransformationRotate90) need.transpose();
        const QSize cover = full.scaled(need.toSize(), Qt::KeepAspectRatioByExpanding);
        if (cover.width() < full.width()) reader.setScaledSize(cover);
    }
    QImage image = reader.read();
    if (image.isNull()) image = ImageUtils::loadImage(path);
    return image;
}

void setError(QString* error, const QString& message) {
    if (error) *error = message;
    spdlog::error("LayoutEngine: {}", message.toStdString());
}
}  // namespace

LayoutEngine::LayoutEngine(std::shared_ptr<TETemplateDocument> document) : document_(std::move(document)) {}

QStringList LayoutEngine::photosUsed() const {
    std::lock_guard lock(mutex_);
    return photos_;
}

QImage LayoutEngine::composePrint(const QList<QImage>& photos, const QImage& qrCode) const {
    QImage print(document_->size, QImage::Format_RGB32);
    print.fill(document_->backgroundColor);
    print.setDotsPerMeterX(kDotsPerMeter);
    print.setDotsPerMeterY(kDotsPerMeter);
    QPainter p(&print);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setRenderHint(QPainter::Antialiasing);
    for (const auto& layer : document_->layers) {
        switch (layer.type) {
        case TETemplateLayer::Type::Photo:
            if (!photos.isEmpty()) drawCovering(p, layer.frame, photos.at(layer.photoIndex % photos.size()));
            break;
        case TETemplateLayer::Type::Image: {
            const QImage image(layer.imagePath);
            if (!image.isNull()) p.drawImage(layer.frame, image);
            break;
        }
        case TETemplateLayer::Type::QRCode:
            if (!qrCode.isNull()) p.drawImage(layer.frame, qrCode);
            break;
        }
    }
    p.end();
    return print;
}

QImage LayoutEngine::makeThumbnail(const QImage& print) {
    if (print.width() <= kThumbnailWidth) return print;
    return print.scaledToWidth(kThumbnailWidth, Qt::SmoothTransformation);
}

std::optional<QImage> LayoutEngine::render(const QStringList& photos, const QImage& qrCode, QString* error) const {
    if (!document_) {
        setError(error, QStringLiteral("No template to lay out the photos with."));
        return std::nullopt;
    }
    if (photos.isEmpty()) {
        setError(error, QStringLiteral("No photos to lay out."));
        return std::nullopt;
    }
    for (const auto& layer : document_->layers) {
        if (layer.type == TETemplateLayer::Type::Image && QImage(layer.imagePath).isNull()) {
            setError(error, QStringLiteral("Unable to read the template image %1.").arg(layer.imagePath));
            return std::nullopt;
        }
    }
    // Each photo is decoded and shrunk to the largest slot it fills, so a
    // session of big photos does not hold them all at full size.
    QList<QImage> decoded;
    for (int i = 0; i < photos.size(); ++i) {
        QSizeF need;
        for (const auto& layer : document_->layers)
            if (layer.type == TETemplateLayer::Type::Photo && layer.photoIndex % photos.size() == i)
                need = need.expandedTo(layer.frame.size());
        QImage image = loadForSlot(photos.at(i), need);
        if (image.isNull()) {
            setError(error, QStringLiteral("Unable to read the photo %1.").arg(QFileInfo(photos.at(i)).fileName()));
            return std::nullopt;
        }
        decoded.append(image);
    }
    return composePrint(decoded, qrCode);
}

std::optional<LayoutResult> LayoutEngine::layoutPhotos(const QStringList& photos, QString* error,
                                                       const QString& printsFolder) {
    auto print = render(photos, {}, error);
    if (!print) return std::nullopt;

    const QString folder = printsFolder.isEmpty() ? WrenUtils::getPrintsFolderPath() : printsFolder;
    const QString thumbFolder = folder + QStringLiteral("/thumb");
    if (!QDir().mkpath(thumbFolder)) {
        setError(error, QStringLiteral("Unable to create the folder %1.").arg(thumbFolder));
        return std::nullopt;
    }
    const QString stem = WrenUtils::dateStringForFileName();
    QString name = stem + QStringLiteral(".jpg");
    for (int n = 1; QFileInfo::exists(folder + QLatin1Char('/') + name); ++n)
        name = stem + QLatin1Char('_') + QString::number(n) + QStringLiteral(".jpg");

    LayoutResult result{folder + QLatin1Char('/') + name, thumbFolder + QLatin1Char('/') + name};
    if (!saveImageAtURLAsJPEG(*print, result.printPath)) {
        setError(error, QStringLiteral("Unable to write the print %1.").arg(result.printPath));
        QFile::remove(result.printPath);
        return std::nullopt;
    }
    if (!saveImageAtURLAsJPEG(makeThumbnail(*print), result.thumbPath)) {
        setError(error, QStringLiteral("Unable to write the thumbnail %1.").arg(result.thumbPath));
        QFile::remove(result.printPath);
        QFile::remove(result.thumbPath);
        return std::nullopt;
    }
    {
        std::lock_guard lock(mutex_);
        photos_ = photos;
    }
    spdlog::info("LayoutEngine: wrote {}", result.printPath.toStdString());
    return result;
}

bool LayoutEngine::layoutWithQRCode(const QImage& qrCode, const QString& path, QString* error) {
    auto print = render(photosUsed(), qrCode, error);
    if (!print) return false;
    if (!saveImageAtURLAsJPEG(*print, path)) {
        setError(error, QStringLiteral("Unable to write the print %1.").arg(path));
        return false;
    }
    return true;
}
