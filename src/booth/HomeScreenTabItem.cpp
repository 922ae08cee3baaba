#include "booth/HomeScreenTabItem.h"

#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "booth/BackgroundTask.h"
#include "core/UserDefaults.h"
#include "greenscreen/BackgroundImage.h"
#include "greenscreen/GreenBackgroundsPreviewView.h"

HomeScreenTabItem::HomeScreenTabItem(QWidget* parent) : WrenTabItem(parent) {
    setObjectName(QStringLiteral("HomeScreen"));
    setFocusPolicy(Qt::StrongFocus);
    auto* layout = new QVBoxLayout(this);
    startLabel_ = new QLabel(this);
    startLabel_->setObjectName(QStringLiteral("StartLabel"));
    startLabel_->setAlignment(Qt::AlignCenter);
    startLabel_->setWordWrap(true);
    startLabel_->setStyleSheet(QStringLiteral(
        "QLabel { color: white; font-size: 64px; font-weight: bold; background: rgba(0,0,0,90);"
        " border-radius: 24px; padding: 32px; }"));
    startLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    chooserHost_ = new QWidget(this);
    chooserHost_->setObjectName(QStringLiteral("BackgroundChooserHost"));
    chooserHost_->setLayout(new QVBoxLayout());
    chooserHost_->layout()->setContentsMargins(0, 0, 0, 0);
    chooser_ = new GreenBackgroundsPreviewView(chooserHost_);
    chooserHost_->layout()->addWidget(chooser_);
    chooserHost_->hide();
    layout->addStretch(1);
    layout->addWidget(startLabel_, 0, Qt::AlignCenter);
    layout->addWidget(chooserHost_, 3);
    layout->addStretch(1);
    refresh();
}

QString HomeScreenTabItem::startText() const {
    const std::string text = UserDefaults::standard().string("START_TEXT");
    return text.empty() ? QStringLiteral("Touch to start") : QString::fromStdString(text);
}

void HomeScreenTabItem::refresh() {
    startLabel_->setText(startText());
    auto& defaults = UserDefaults::standard();
    const QColor colour(QString::fromStdString(defaults.string("HOME_SCREEN_BACKGROUND")));
    const QColor shown = colour.isValid() ? colour : QColor(24, 28, 36);
    if (shown != backgroundColour_) {
        backgroundColour_ = shown;
        update();
    }
    // BACKGROUND_TYPE_SELECTION: 0 the colour only, 1 the image over it.
    const bool withImage = defaults.integer("BACKGROUND_TYPE_SELECTION", 1) == 1;
    const QString path = withImage ? QString::fromStdString(defaults.string("BACKGROUND_IMAGE")) : QString();
    if (path == backgroundPath_) return;
    backgroundPath_ = path;
    background_ = QImage();
    update();
    if (path.isEmpty()) return;
    const QSize target = size().expandedTo(QSize(1920, 1080));
    runInBackground(
        this,
        [path, target] {
            QImageReader reader(path);
            reader.setAutoTransform(true);
            const QSize full = reader.size();
            if (full.isValid()) reader.setScaledSize(full.scaled(target, Qt::KeepAspectRatioByExpanding));
            return reader.read();
        },
        [this, path](QImage image) {
            if (path != backgroundPath_) return;  // changed meanwhile
            background_ = image;
            update();
        });
}

void HomeScreenTabItem::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), backgroundColour_);
    if (background_.isNull()) return;
    const QSize shown = background_.size().scaled(size(), Qt::KeepAspectRatioByExpanding);
    const QRect target(QPoint((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(target, background_);
}

bool HomeScreenTabItem::presentBackgroundChooser() {
    const bool manual = UserDefaults::standard().integer(kGreenScreenBackgroundSelectionTypeKey, 0) == 1;
    if (!chooser_->presentViewForGreenBackgroundSelection()) {
        hideBackgroundChooser();
        return false;
    }
    chooserHost_->setVisible(manual);
    startLabel_->setVisible(!manual);
    if (manual) chooser_->setFocus();
    return true;
}

void HomeScreenTabItem::presentBackgroundChooserIfNeeded() {
    auto& defaults = UserDefaults::standard();
    if (defaults.integer(kGreenScreenOnKey, 2) != 2 && defaults.integer(kGreenScreenBackgroundSelectionTypeKey, 0) == 1) {
        presentBackgroundChooser();
    } else {
        hideBackgroundChooser();
    }
}

void HomeScreenTabItem::hideBackgroundChooser() {
    chooser_->clearImages();
    chooserHost_->hide();
    startLabel_->show();
}

void HomeScreenTabItem::holdTaps(int ms) {
    tapsHeld_.start();
    tapsHeldFor_ = ms;
}

void HomeScreenTabItem::mousePressEvent(QMouseEvent* event) {
    if (tapsHeld_.isValid() && tapsHeld_.elapsed() < tapsHeldFor_) return;
    if (chooserHost_->isVisible()) return WrenTabItem::mousePressEvent(event);
    if (auto* d = delegate()) d->userDidRequestSession({});
}

void HomeScreenTabItem::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat() && !chooserHost_->isVisible()) {
        if (auto* d = delegate()) d->userDidRequestSession({});
        return;
    }
    WrenTabItem::keyPressEvent(event);
}
