#include "greenscreen/GreenBackgroundsPreviewView.h"
#include <nlohmann/json.hpp>

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <spdlog/spdlog.h>

#include "core/MainQueue.h"
#include "core/Notifications.h"
#include "core/ProgressWindowController.h"
#include "core/UserDefaults.h"
#include "greenscreen/GreenScreenManager.h"
#include "greenscreen/GreenScreenViews.h"

namespace {

QPixmap composed(const BackgroundImagePtr& b, const QSize& box) {
    if (!b || b->image.isNull()) return {};
    QImage image = b->image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                       .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (!b->overlayImage.isNull()) {
        QPainter p(&image);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(image.rect(), b->overlayImage);
    }
    return QPixmap::fromImage(image);
}

}  // namespace

GreenBackgroundPreviewItem::GreenBackgroundPreviewItem(const BackgroundImagePtr& background, QWidget* parent)
    : QFrame(parent), background_(background) {
    setObjectName(QStringLiteral("GreenBackgroundPreviewItem"));
    setFixedSize(180, 130);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("bkImage"));
    image->setAlignment(Qt::AlignCenter);
    image->setPixmap(composed(background, QSize(168, 118)));
    layout->addWidget(image);
    setSelected(false);
}

void GreenBackgroundPreviewItem::setSelected(bool selected) {
    const bool changed = selected != selected_;
    selected_ = selected;
    setStyleSheet(selected ? QStringLiteral("#GreenBackgroundPreviewItem { border: 3px solid rgb(0,0,255); "
                                            "border-radius: 4px; background: palette(highlight); }")
                           : QStringLiteral("#GreenBackgroundPreviewItem { border: 3px solid transparent; "
                                            "border-radius: 4px; background: transparent; }"));
    if (changed && selected) {
        base::NotificationCenter::defaultCenter().post(kPreviewBackgroundImageChangedNotification, nullptr,
                                                       {{kSelectedImagesKey, background_}});
    }
}

void GreenBackgroundPreviewItem::mousePressEvent(QMouseEvent* event) {
    event->accept();
    emit clicked(this);
}

GreenBackgroundsPreviewView::GreenBackgroundsPreviewView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("GreenBackgroundsPreviewView"));
    setFocusPolicy(Qt::StrongFocus);
    setAcceptDrops(false);
    auto* layout = new QVBoxLayout(this);
    previewImageView_ = new QLabel(this);
    previewImageView_->setObjectName(QStringLiteral("previewImageView"));
    previewImageView_->setAlignment(Qt::AlignCenter);
    previewImageView_->setMinimumSize(320, 200);
    previewImageView_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    layout->addWidget(previewImageView_, 1);

    auto* row = new QHBoxLayout();
    auto* left = new QPushButton(QStringLiteral("◀"), this);
    left->setObjectName(QStringLiteral("leftSideScrollButton"));
    auto* right = new QPushButton(QStringLiteral("▶"), this);
    right->setObjectName(QStringLiteral("rightSideScrollButton"));
    for (auto* b : {left, right}) {
        b->setFixedSize(48, 120);
        b->setFocusPolicy(Qt::NoFocus);
        connect(b, &QPushButton::clicked, this, [this, b] { useDidPressScrollButton(b->objectName()); });
    }
    collectionView_ = new QScrollArea(this);
    collectionView_->setObjectName(QStringLiteral("collectionView"));
    collectionView_->setFixedHeight(150);
    collectionView_->setWidgetResizable(true);
    collectionView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    collectionView_->setFocusPolicy(Qt::NoFocus);
    auto* content = new QWidget(collectionView_);
    strip_ = new QHBoxLayout(content);
    strip_->addStretch(1);
    collectionView_->setWidget(content);
    row->addWidget(left);
    row->addWidget(collectionView_, 1);
    row->addWidget(right);
    layout->addLayout(row);

    goButtonBox_ = new QFrame(this);
    goButtonBox_->setObjectName(QStringLiteral("goButtonBox"));
    auto* goLayout = new QHBoxLayout(goButtonBox_);
    auto* go = new QPushButton(QStringLiteral("GO!"), goButtonBox_);
    go->setObjectName(QStringLiteral("goButton"));
    go->setMinimumSize(200, 56);
    go->setFocusPolicy(Qt::NoFocus);
    goLayout->addStretch(1);
    goLayout->addWidget(go);
    goLayout->addStretch(1);
    connect(go, &QPushButton::clicked, this, [this] { userDidPressGoButton(); });
    goButtonBox_->hide();
    layout->addWidget(goButtonBox_);

    observer_ = base::NotificationCenter::defaultCenter().addObserver(
        kPreviewBackgroundImageChangedNotification, nullptr, &MainQueue::shared(),
        [this](const base::Notification& n) { userDidChangedBackgroundPreviewImage(n); });
}

GreenBackgroundsPreviewView::~GreenBackgroundsPreviewView() {
    base::NotificationCenter::defaultCenter().removeObserver(observer_);
}

void GreenBackgroundsPreviewView::loadBackgroundsImages() {
    clearImages();
    for (auto& background : storedBackgroundEntries()) {
        background->image = loadPreviewImage(background->imageURL, 1200);
        if (!background->overlayImageURL.isEmpty()) {
            background->overlayImage = loadPreviewImage(background->overlayImageURL, 1200);
        }
        // Listed whenever the file gives an image at all.
        if (background->image.isNull()) continue;
        backgroundImages_.push_back(background);
    }
    for (const auto& background : backgroundImages_) {
        auto* item = new GreenBackgroundPreviewItem(background, strip_->parentWidget());
        connect(item, &GreenBackgroundPreviewItem::clicked, this, [this](GreenBackgroundPreviewItem* clicked) {
            for (size_t i = 0; i < items_.size(); ++i) {
                if (items_[i] == clicked) select(static_cast<int>(i));
            }
        });
        strip_->insertWidget(strip_->count() - 1, item);
        items_.push_back(item);
    }
    if (!backgroundImages_.empty()) {
        select(0);
        previewImageView_->setPixmap(composed(backgroundImages_[0], previewImageView_->size()));
    }
}

bool GreenBackgroundsPreviewView::presentViewForGreenBackgroundSelection() {
    loadBackgroundsImages();
    if (backgroundImages_.empty()) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QString::fromUtf8(kNoGreenScreenBackgroundsReason), 3.0);
        return false;
    }
    if (UserDefaults::standard().integer(kGreenScreenBackgroundSelectionTypeKey, 0) == 1) {
        spdlog::info("GreenScreenSelector: Presenting selector..");
        show();
        goButtonBox_->hide();
        setFocus();
    } else {
        spdlog::info("Background selection is automatic so no need to present view controller...");
        base::NotificationCenter::defaultCenter().post(kUseDidPressedToStartSessionNotification);
        QTimer::singleShot(1000, this, [this] { clearImages(); });
    }
    return true;
}

void GreenBackgroundsPreviewView::userDidChangedBackgroundPreviewImage(const base::Notification& note) {
    const auto* background = note.get<BackgroundImagePtr>(kSelectedImagesKey);
    if (!background || !*background) return;
    // Only backgrounds of this strip.
    if (std::find(backgroundImages_.begin(), backgroundImages_.end(), *background) == backgroundImages_.end()) return;
    previewImageView_->setPixmap(composed(*background, previewImageView_->size()));
    updateCollectionViewScroll();
    goButtonBox_->show();
}

void GreenBackgroundsPreviewView::select(int index) {
    if (index < 0 || index >= static_cast<int>(items_.size())) return;
    if (selected_ >= 0 && selected_ < static_cast<int>(items_.size()) && selected_ != index) {
        items_[selected_]->setSelected(false);
    }
    selected_ = index;
    items_[index]->setSelected(true);
    updateCollectionViewScroll();
}

void GreenBackgroundsPreviewView::useDidPressScrollButton(const QString& identifier) {
    const int n = static_cast<int>(backgroundImages_.size());
    if (n == 0) return;
    const int s = selected_;
    if (identifier == QLatin1String("rightSideScrollButton")) {
        const int next = s < 0 ? 0 : s + 1;
        if (next != n) select(next);
    } else {
        if (s < 0) {
            select(0);
        } else if (s >= 1) {
            select(s - 1);
        }
    }
}

void GreenBackgroundsPreviewView::updateCollectionViewScroll() {
    if (selected_ < 0 || selected_ >= static_cast<int>(items_.size())) return;
    collectionView_->ensureWidgetVisible(items_[selected_]);
}

void GreenBackgroundsPreviewView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Space: userDidPressGoButton(); break;
    case Qt::Key_Left: useDidPressScrollButton(QStringLiteral("leftSideScrollButton")); break;
    case Qt::Key_Right: useDidPressScrollButton(QStringLiteral("rightSideScrollButton")); break;
    default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}

void GreenBackgroundsPreviewView::userDidPressGoButton() {
    if (selected_ < 0) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Please select a background."), 3.0);
        return;
    }
    if (backgroundImages_.empty() || selected_ >= static_cast<int>(backgroundImages_.size())) return;
    auto& defaults = UserDefaults::standard();
    defaults.set(kGreenScreenBackgroundsToUseKey, backgroundImages_[selected_]->storedEntry());
    base::NotificationCenter::defaultCenter().post(kUseDidPressedToStartSessionNotification);
}

void GreenBackgroundsPreviewView::clearImages() {
    clearFocus();
    previewImageView_->clear();
    for (auto* item : items_) {
        strip_->removeWidget(item);
        item->deleteLater();
    }
    items_.clear();
    backgroundImages_.clear();
    selected_ = -1;
}
