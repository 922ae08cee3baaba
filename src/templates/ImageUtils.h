#pragma once
// Image helpers: loading with EXIF orientation, JPEG at full quality,
// resizing, and the frame an image view draws its scaled image in.
#include <QImage>
#include <QRectF>
#include <QSize>
#include <QSizeF>
#include <QString>

class QLabel;

namespace ImageUtils {
// Loads any supported image with its EXIF orientation applied; photos up to
// at least 50 megapixels load. Null on failure.
QImage loadImage(const QString& path);
// Raises Qt's image allocation limit; called once at start-up (and by loadImage).
void allowLargeImages();
}

// Writes the image as JPEG at quality 100, atomically; false on failure.
bool saveImageAtURLAsJPEG(const QImage& image, const QString& path);
// A copy drawn at exactly `size`.
QImage resizeImageToSize(const QImage& image, const QSize& size);
// `source` scaled proportionally to fit inside `target`.
QSizeF sizeByScalingProportionallyToSize(const QSizeF& target, const QSizeF& source);
// The rectangle within a view of `viewSize` in which an image of `imageSize`
// is drawn when scaled proportionally and centred.
QRectF imageFrame(const QSizeF& viewSize, const QSizeF& imageSize);
