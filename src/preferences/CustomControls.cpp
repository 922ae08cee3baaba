#include "preferences/CustomControls.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "templates/TEUtils.h"

RoundButton::RoundButton(const QString& title, QWidget* parent) : QPushButton(title, parent) {
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover, true);
    setMouseTracking(true);
    // Any window's resize leaves the next drawing unpressed.
    qApp->installEventFilter(this);
}

RoundButton::~RoundButton() {
    if (qApp) qApp->removeEventFilter(this);
}

QSize RoundButton::squareSizeFor(const QSize& requested) {
    int side = std::min(requested.width(), requested.height());
    if (side < 116) side = 115;
    return QSize(side, side);
}

void RoundButton::setFrame(const QRect& requested) {
    setGeometry(QRect(requested.topLeft(), squareSizeFor(requested.size())));
}

bool RoundButton::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow())
        screenResize_ = true;
    return QPushButton::eventFilter(watched, event);
}

QRect RoundButton::imageRect() const {
    int w = width();
    int side = w > 105 ? 105 : w;
    int left;
    if (!text().isEmpty()) left = 10;
    else left = (w - side) > 0 ? (w - side) / 2 : 6;
    return QRect(left, (height() - side) / 2, side, side);
}

int RoundButton::titleLeft() const {
    int left = imageRect().left();
    if (!icon().isNull()) left += 42;
    return left;
}

QColor RoundButton::fillColor(bool pressed) const {
    if (!isEnabled()) return QColor(Qt::darkGray);
    if (pressed) return QColor(Qt::darkGray);
    return hover_ ? QColor(Qt::lightGray) : colorWithDeviceValue(0x2f2f2f);
}

QColor RoundButton::outlineColor() const { return hover_ ? QColor(Qt::white) : colorWithDeviceValue(0xcccccc); }

void RoundButton::paintEvent(QPaintEvent*) {
    bool pressed = isDown();
    if (screenResize_) {
        screenResize_ = false;
        pressed = false;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF b = rect();
    QPainterPath fill;
    fill.addRoundedRect(b, 130.0, 130.0);
    p.fillPath(fill, fillColor(pressed));
    QRectF outline(b.x(), b.y(), b.width() - 1.0, b.height() - 1.0);
    outline.translate(0.5, 0.5);
    QPainterPath stroke;
    stroke.addRoundedRect(outline, 130.0, 130.0);
    p.setPen(outlineColor());
    p.drawPath(stroke);

    QRect img = imageRect();
    if (!icon().isNull()) p.drawPixmap(img, icon().pixmap(img.size()));
    if (!text().isEmpty()) {
        int left = titleLeft();
        p.setPen(Qt::white);
        p.setFont(font());
        QRect tr(left, 0, width() - (left + 10), height() - 1);
        QString elided = fontMetrics().elidedText(text(), Qt::ElideRight, tr.width());
        p.drawText(tr, Qt::AlignVCenter | Qt::AlignLeft, elided);
    }
}

bool RoundButton::event(QEvent* event) {
    // The hover look follows the pointer moving over the button, not its
    // being there: a finger lifted from a touch screen leaves the pointer
    // behind, and a window or screen that appears under it (the next
    // guest's final screen) brings an enter without any movement. Lit then,
    // the button would stay white on light grey.
    if (event->type() == QEvent::HoverMove && !hover_) {
        hover_ = true;
        update();
    }
    return QPushButton::event(event);
}

void RoundButton::leaveEvent(QEvent* event) {
    hover_ = false;
    update();
    QPushButton::leaveEvent(event);
}

void RoundButton::mouseReleaseEvent(QMouseEvent* event) {
    // A tap ends with the release. Cleared first, as the click this release
    // makes may take the button away.
    hover_ = false;
    update();
    QPushButton::mouseReleaseEvent(event);
}

ClickableLabelTextField::ClickableLabelTextField(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextInteractionFlags(Qt::NoTextInteraction);
    setMouseTracking(true);
}

void ClickableLabelTextField::enterEvent(QEnterEvent* event) {
    setCursor(Qt::PointingHandCursor);
    QLabel::enterEvent(event);
}

void ClickableLabelTextField::leaveEvent(QEvent* event) {
    setCursor(Qt::ArrowCursor);
    QLabel::leaveEvent(event);
}

void ClickableLabelTextField::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit clicked();
    event->accept();
}

void ClickableLabelTextField::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click has already sent the action.
    event->accept();
}

VerticallyCenteredTextField::VerticallyCenteredTextField(QWidget* parent) : QLineEdit(parent) {
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setTextMargins(3, 0, 3, 0);
    setStyleSheet("background: transparent;");
}

QRectF VerticallyCenteredTextField::drawingRectForBounds(const QRectF& bounds, qreal textHeight) {
    QRectF r = bounds;
    float d = static_cast<float>(r.height() - textHeight);
    if (d > 0) {
        r.setHeight(r.height() - d);
        r.moveTop(r.y() + d / 2);
    }
    r.setWidth(r.width() - 6.0);
    r.moveLeft(r.x() + 3.0);
    return r;
}
