#include "greenscreen/GreenScreenViews.h"

#include <QFileDialog>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <spdlog/spdlog.h>

#include "base/NotificationCenter.h"
#include "core/WrenUtils.h"
#include "templates/ImageUtils.h"

namespace {

QString defaultChooseImageFile(QWidget* parent, const QStringList& suffixes) {
    QStringList patterns;
    for (const QString& s : suffixes) patterns << "*." + s;
    return QFileDialog::getOpenFileName(parent, QString(), QString(),
                                        QStringLiteral("Images (%1)").arg(patterns.join(' ')));
}

}  // namespace

std::function<QString(QWidget*, const QStringList&)> GreenScreenHooks::chooseImageFile = defaultChooseImageFile;
std::function<void(const QString&, const QString&, int)> GreenScreenHooks::showAlert =
    WrenUtils::showAlertWithMessage;
std::function<bool()> GreenScreenHooks::keyingEngineSupported = WrenUtils::checkIFOpenGLIsSupported;

void GreenScreenHooks::reset() {
    chooseImageFile = defaultChooseImageFile;
    showAlert = WrenUtils::showAlertWithMessage;
    keyingEngineSupported = WrenUtils::checkIFOpenGLIsSupported;
}

QImage loadPreviewImage(const QString& path, int maxSide) {
    if (path.isEmpty()) return {};
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && std::max(size.width(), size.height()) > maxSide) {
        reader.setScaledSize(size.scaled(maxSide, maxSide, Qt::KeepAspectRatio));
    }
    QImage image = reader.read();
    if (image.isNull()) spdlog::warn("GreenScreenWindow: cannot read {}: {}", path.toStdString(),
                                     reader.errorString().toStdString());
    return image;
}

// KeyColorView

KeyColorView::KeyColorView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("keyColorBox"));
    setMinimumSize(48, 32);
}

void KeyColorView::addMouseTrackingArea() {
    removeMouseTrackingArea();
    trackingArea_ = true;
    setMouseTracking(true);
    setCursor(Qt::PointingHandCursor);  // shown while the pointer is over it
}

void KeyColorView::removeMouseTrackingArea() {
    if (!trackingArea_) return;
    trackingArea_ = false;
    setMouseTracking(false);
    unsetCursor();
}

void KeyColorView::setColor(const QColor& color) {
    color_ = color;
    update();
}

void KeyColorView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    wasClicked = true;
    if (delegate) delegate->didReceiveMouseDownOnKeyColorView();
}

void KeyColorView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), color_);
    p.setPen(QColor(180, 180, 180));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

// ImageView

ImageView::ImageView(QWidget* parent) : QWidget(parent) { setMinimumSize(120, 90); }

void ImageView::setImage(const QImage& image) {
    image_ = image;
    update();
}

QRectF ImageView::imageFrame() const {
    if (image_.isNull()) return {};
    return ::imageFrame(QSizeF(size()), QSizeF(image_.size()));
}

void ImageView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(238, 238, 238));
    if (image_.isNull()) return;
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(imageFrame(), image_);
}

// MergedImageView

MergedImageView::MergedImageView(QWidget* parent) : ImageView(parent) { setObjectName(QStringLiteral("mergedImage")); }

void MergedImageView::addCursorTrackingZone() {
    if (image().isNull()) return;
    zone_ = imageFrame();
    setMouseTracking(true);
}

void MergedImageView::removeCursorTrackingZone() {
    if (!zone_) return;
    zone_.reset();
    setMouseTracking(false);
}

std::optional<QColor> MergedImageView::colorAt(const QPointF& point) const {
    const QRectF frame = imageFrame();
    if (frame.isEmpty() || !frame.contains(point)) return std::nullopt;
    const int x = static_cast<int>((point.x() - frame.x()) * image().width() / frame.width());
    const int y = static_cast<int>((point.y() - frame.y()) * image().height() / frame.height());
    if (x < 0 || y < 0 || x >= image().width() || y >= image().height()) return std::nullopt;
    QColor c = image().pixelColor(x, y);
    c.setAlpha(255);
    return c;
}

void MergedImageView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (auto c = colorAt(event->position()); c && delegate) delegate->keyCodeDidChanged(*c);
}

void MergedImageView::mouseMoveEvent(QMouseEvent* event) {
    if (!zone_ || !zone_->contains(event->position())) return;
    if (auto c = colorAt(event->position()); c && delegate) delegate->keyCodeDidChangedOnMouseMove(*c);
}

// ThumbnailImageViewItem

ThumbnailImageViewItem::ThumbnailImageViewItem(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("ThumbnailImageViewItem"));
    setFixedSize(136, 104);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    bkImage_ = new QLabel(this);
    bkImage_->setObjectName(QStringLiteral("bkImage"));
    bkImage_->setAlignment(Qt::AlignCenter);
    layout->addWidget(bkImage_);
    overlayImage_ = new QLabel(bkImage_);
    overlayImage_->setObjectName(QStringLiteral("overlayImage"));
    overlayImage_->setAlignment(Qt::AlignCenter);
    overlayImage_->setAttribute(Qt::WA_TransparentForMouseEvents);
    removeButton_ = new QPushButton(QStringLiteral("×"), this);
    removeButton_->setObjectName(QStringLiteral("removeButton"));
    removeButton_->setFixedSize(20, 20);
    removeButton_->move(width() - 24, 4);
    removeButton_->setToolTip(QStringLiteral("Remove this background"));
    connect(removeButton_, &QPushButton::clicked, this, [this] { removeButtonDidClicked(); });
    updateStyle();
}

void ThumbnailImageViewItem::setRepresentedObject(const BackgroundImagePtr& background) {
    background_ = background;
    const QSize box(124, 92);
    auto pixmap = [&](const QImage& image) {
        return image.isNull() ? QPixmap()
                              : QPixmap::fromImage(image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    };
    bkImage_->setPixmap(background ? pixmap(background->image) : QPixmap());
    overlayImage_->setPixmap(background ? pixmap(background->overlayImage) : QPixmap());
    overlayImage_->setGeometry(0, 0, box.width(), box.height());
    removeButton_->raise();
}

void ThumbnailImageViewItem::setSelected(bool selected, bool announce) {
    if (selected == selected_) return;  // only real changes are announced
    selected_ = selected;
    updateStyle();
    if (selected && announce && background_) {
        base::NotificationCenter::defaultCenter().post(kBackgroundImageChangedNotification, nullptr,
                                                       {{kSelectedImagesKey, background_}});
    }
}

void ThumbnailImageViewItem::removeButtonDidClicked() {
    if (!background_) return;
    base::NotificationCenter::defaultCenter().post(kBackgroundImageDeleteNotification, nullptr,
                                                   {{kSelectedImagesKey, background_}});
}

void ThumbnailImageViewItem::mousePressEvent(QMouseEvent* event) {
    event->accept();
    emit clicked(this);
}

void ThumbnailImageViewItem::updateStyle() {
    setStyleSheet(selected_ ? QStringLiteral("#ThumbnailImageViewItem { border: 2px solid rgb(0,0,255); "
                                             "border-radius: 4px; background: palette(highlight); }")
                            : QStringLiteral("#ThumbnailImageViewItem { border: 2px solid transparent; "
                                             "border-radius: 4px; background: palette(base); }"));
}

// GreenScreenWindowContentView

void GreenScreenWindowContentView::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    QPainter(this).fillRect(event->rect(), Qt::white);
}
