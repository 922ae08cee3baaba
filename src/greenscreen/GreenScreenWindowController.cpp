#include "greenscreen/GreenScreenWindowController.h"
#include <nlohmann/json.hpp>

#include <QButtonGroup>
#include <QCloseEvent>
#include <QHideEvent>
#include <QKeyEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>
#include <exception>
#include <mutex>

#include <spdlog/spdlog.h>

#include "camera/CameraManager.h"
#include "camera/CameraManagerDelegate.h"
#include "core/CloseControls.h"
#include "core/MainQueue.h"
#include "core/Notifications.h"
#include "core/ProgressWindowController.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "greenscreen/DominantColorFinder.h"
#include "templates/ImageUtils.h"

// The window's camera delegate. Frames arrive on the camera's thread; the
// newest is handed to the interface thread and older ones are dropped, so
// no widget is touched off that thread.
class GreenScreenCameraBridge : public CameraManagerDelegate,
                                public std::enable_shared_from_this<GreenScreenCameraBridge> {
public:
    explicit GreenScreenCameraBridge(GreenScreenWindowController* window) : window_(window) {}
    void detach() { window_.clear(); }  // interface thread
    void didDownloadedImageAtPath(const QString&) override {}
    void deviceReadyToTakePhoto() override {}
    void didFailedToTakePicture() override {}
    void didStartedLiveView() override {}
    void didReceivedLiveViewImage(const QImage& image) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            latest_ = image;
        }
        if (pending_.exchange(true)) return;
        std::weak_ptr<GreenScreenCameraBridge> weak = weak_from_this();
        QMetaObject::invokeMethod(
            qApp,
            [weak] {
                auto self = weak.lock();
                if (!self) return;
                QImage frame;
                {
                    std::lock_guard<std::mutex> lock(self->mutex_);
                    frame = std::move(self->latest_);
                    self->latest_ = QImage();
                }
                self->pending_ = false;
                if (self->window_ && !frame.isNull()) self->window_->didReceivedLiveViewImage(frame);
            },
            Qt::QueuedConnection);
    }

private:
    QPointer<GreenScreenWindowController> window_;
    std::mutex mutex_;
    QImage latest_;
    std::atomic<bool> pending_{false};
};

namespace {

const QColor kChosenModeColor = QColor::fromRgbF(36 / 255.0f, 157 / 255.0f, 243 / 255.0f);

// The eyedropper: a pipette whose tip (4, 26) is the hot spot.
QCursor dropperCursor() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 2));
    p.setBrush(Qt::white);
    QPainterPath body;
    body.moveTo(4, 26);
    body.lineTo(6, 20);
    body.lineTo(18, 8);
    body.lineTo(22, 12);
    body.lineTo(10, 24);
    body.closeSubpath();
    p.drawPath(body);
    p.setBrush(Qt::black);
    p.drawEllipse(QPointF(23, 7), 4, 4);
    return QCursor(pixmap, 4, 26);
}

}  // namespace

GreenScreenWindowController::GreenScreenWindowController(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("GreenScreenWindow"));
    setWindowTitle(QStringLiteral("Green Screen"));
    bridge_ = std::make_shared<GreenScreenCameraBridge>(this);
    buildInterface();

    // What happens on loading the window.
    resetSliders();
    mergedImage_->delegate = this;
    keyColorBox_->delegate = this;
    panel_->setDelegate(this);
    settingsMode_ = QStringLiteral("PHOTO");
    auto& defaults = UserDefaults::standard();
    auto check = [](QButtonGroup* group, std::int64_t id) {
        if (auto* b = group->button(static_cast<int>(id))) b->setChecked(true);
    };
    check(imageSettingTypeRadioGroup_, defaults.integer(kGreenScreenRemovalWayKey, 0) != 0 ? 1 : 0);
    check(backgroundSelectionTypeRadioGroup_,
          defaults.integer(kGreenScreenBackgroundSelectionTypeKey, 0) != 0 ? 1 : 0);
    check(greenRemovalTypeRadioGroup_, std::clamp<std::int64_t>(defaults.integer(kGreenScreenOnKey, 2), 0, 2));
    if (defaults.integer(kGreenScreenRemovalWayKey, 0) == 1) keyColorBox_->addMouseTrackingArea();
    QTimer::singleShot(500, this, [this] {
        loadBackgroundsImages();
        loadStartupSampleImage();
    });
    auto* main = &MainQueue::shared();
    auto& center = base::NotificationCenter::defaultCenter();
    observers_.push_back(center.addObserver(kBackgroundImageChangedNotification, nullptr, main,
                                            [this](const base::Notification& n) {
                                                if (auto* b = n.get<BackgroundImagePtr>(kSelectedImagesKey))
                                                    useDidChangedBackgroundImage(*b);
                                            }));
    observers_.push_back(center.addObserver(kBackgroundImageDeleteNotification, nullptr, main,
                                            [this](const base::Notification& n) {
                                                if (auto* b = n.get<BackgroundImagePtr>(kSelectedImagesKey))
                                                    removeBackgroundImage(*b);
                                            }));
    updateReplacementControlsFromSettings(defaults.integer(kGreenScreenRemovalWayKey, 0) == 1
                                              ? GreenScreenFilterSettings::initFromNSDefaults()
                                              : GreenScreenFilterSettings::initWithDefaultSettings());
    selectImageOrLiveViewButton_->setText(QStringLiteral("CHANGE SAMPLE PHOTO"));
    selectImageOrLiveViewButton_->setObjectName(QStringLiteral("firstImageButton"));
}

GreenScreenWindowController::~GreenScreenWindowController() {
    for (auto id : observers_) base::NotificationCenter::defaultCenter().removeObserver(id);
    bridge_->detach();
    if (cameraManager_ && cameraManager_->delegate() == bridge_) cameraManager_->setDelegate(nullptr);
}

void GreenScreenWindowController::buildInterface() {
    auto* content = new GreenScreenWindowContentView(this);
    content->setObjectName(QStringLiteral("GreenScreenWindowContentView"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(content);
    auto* layout = new QVBoxLayout(content);

    // Green screen on, and for what.
    auto* top = new QHBoxLayout();
    auto radioGroup = [&](const QString& title, const QStringList& rows, bool vertical) {
        auto* box = new QGroupBox(title, content);
        QBoxLayout* l = vertical ? static_cast<QBoxLayout*>(new QVBoxLayout(box))
                                 : static_cast<QBoxLayout*>(new QHBoxLayout(box));
        auto* group = new QButtonGroup(box);
        for (int i = 0; i < rows.size(); ++i) {
            auto* radio = new QRadioButton(rows[i], box);
            group->addButton(radio, i);
            l->addWidget(radio);
        }
        top->addWidget(box);
        return group;
    };
    greenRemovalTypeRadioGroup_ = radioGroup(QStringLiteral("Green screen"),
                                             {QStringLiteral("Photos and live view"), QStringLiteral("Photos only"),
                                              QStringLiteral("Off")},
                                             true);
    backgroundSelectionTypeRadioGroup_ = radioGroup(
        QStringLiteral("Backgrounds"), {QStringLiteral("In turn"), QStringLiteral("Guest chooses")}, true);
    connect(greenRemovalTypeRadioGroup_, &QButtonGroup::idClicked, this,
            [this](int id) { greenScreenRemovalTypeDidChanged(id); });
    connect(backgroundSelectionTypeRadioGroup_, &QButtonGroup::idClicked, this,
            [this](int id) { backgroundSelectionTypeDidChanged(id); });

    // The key: mode buttons, way, colour and sliders.
    auto* keyBox = new QGroupBox(QStringLiteral("Key"), content);
    auto* grid = new QGridLayout(keyBox);
    photoSettingsLabel_ = new QPushButton(QStringLiteral("PHOTO"), keyBox);
    photoSettingsLabel_->setObjectName(QStringLiteral("photoButton"));
    liveviewSettingsLabel_ = new QPushButton(QStringLiteral("LIVE VIEW"), keyBox);
    liveviewSettingsLabel_->setObjectName(QStringLiteral("liveViewButton"));
    for (auto* b : {photoSettingsLabel_, liveviewSettingsLabel_}) {
        b->setFlat(true);
        connect(b, &QPushButton::clicked, this, [this, b] { settingsModeLabelsDidClicked(b->objectName()); });
    }
    photoSettingsLabel_->setStyleSheet(QStringLiteral("color: %1; font-weight: bold;").arg(kChosenModeColor.name()));
    liveviewSettingsLabel_->setStyleSheet(QStringLiteral("color: palette(mid); font-weight: bold;"));
    grid->addWidget(photoSettingsLabel_, 0, 0);
    grid->addWidget(liveviewSettingsLabel_, 0, 1);
    auto* way = new QWidget(keyBox);
    auto* wayLayout = new QHBoxLayout(way);
    wayLayout->setContentsMargins(0, 0, 0, 0);
    imageSettingTypeRadioGroup_ = new QButtonGroup(way);
    const QStringList ways = {QStringLiteral("Automatic key colour"), QStringLiteral("Manual key colour")};
    for (int i = 0; i < ways.size(); ++i) {
        auto* radio = new QRadioButton(ways[i], way);
        imageSettingTypeRadioGroup_->addButton(radio, i);
        wayLayout->addWidget(radio);
    }
    connect(imageSettingTypeRadioGroup_, &QButtonGroup::idClicked, this,
            [this](int id) { imageSettingsTypeDidChanged(id); });
    grid->addWidget(way, 1, 0, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Key colour (click, then click the preview):"), keyBox), 2, 0, 1, 2);
    keyColorBox_ = new KeyColorView(keyBox);
    grid->addWidget(keyColorBox_, 2, 2);
    auto slider = [&](int row, const QString& title, QSlider*& s, QLabel*& label, auto setter) {
        grid->addWidget(new QLabel(title, keyBox), row, 0);
        s = new QSlider(Qt::Horizontal, keyBox);
        s->setRange(0, 1000);
        grid->addWidget(s, row, 1);
        label = new QLabel(keyBox);
        label->setMinimumWidth(32);
        grid->addWidget(label, row, 2);
        connect(s, &QSlider::valueChanged, this, [this, setter](int v) { (this->*setter)(v / 1000.0); });
    };
    slider(3, QStringLiteral("Sensitivity"), sensitivitySlighter_, sensitivitySilderValueLabel_,
           &GreenScreenWindowController::setSensitivitySliderValue);
    slider(4, QStringLiteral("Smoothness"), smoothnessSlighter_, smoothnessSilderValueLabel_,
           &GreenScreenWindowController::setSmoothnessSliderValue);
    sensitivitySlighter_->setObjectName(QStringLiteral("sensitivitySlighter"));
    smoothnessSlighter_->setObjectName(QStringLiteral("smoothnessSlighter"));
    top->addWidget(keyBox, 1);
    layout->addLayout(top);

    // The three images.
    auto* images = new QHBoxLayout();
    auto column = [&](const QString& title, QWidget* view, QWidget* button) {
        auto* col = new QVBoxLayout();
        col->addWidget(new QLabel(title, content));
        col->addWidget(view, 1);
        if (button) col->addWidget(button);
        images->addLayout(col, 1);
    };
    firstImage_ = new ImageView(content);
    firstImage_->setObjectName(QStringLiteral("firstImage"));
    selectImageOrLiveViewButton_ = new QPushButton(QStringLiteral("CHANGE SAMPLE PHOTO"), content);
    connect(selectImageOrLiveViewButton_, &QPushButton::clicked, this, [this] { browseForImage(); });
    column(QStringLiteral("Sample"), firstImage_, selectImageOrLiveViewButton_);
    secondImage_ = new ImageView(content);
    secondImage_->setObjectName(QStringLiteral("secondImage"));
    column(QStringLiteral("Background"), secondImage_, nullptr);
    mergedImage_ = new MergedImageView(content);
    auto* merge = new QPushButton(QStringLiteral("PREVIEW"), content);
    merge->setObjectName(QStringLiteral("mergeButton"));
    connect(merge, &QPushButton::clicked, this, [this] { mergeImageButtonDidClicked(); });
    column(QStringLiteral("Preview"), mergedImage_, merge);
    layout->addLayout(images, 1);

    // The backgrounds.
    auto* bottom = new QHBoxLayout();
    auto* scroll = new QScrollArea(content);
    scroll->setObjectName(QStringLiteral("thumbsCollectionView"));
    scroll->setFixedHeight(130);
    scroll->setWidgetResizable(true);
    thumbsContent_ = new QWidget(scroll);
    thumbsLayout_ = new QHBoxLayout(thumbsContent_);
    thumbsLayout_->addStretch(1);
    scroll->setWidget(thumbsContent_);
    bottom->addWidget(scroll, 1);
    auto* add = new QPushButton(QStringLiteral("ADD BACKGROUND"), content);
    add->setObjectName(QStringLiteral("addBackgroundButton"));
    connect(add, &QPushButton::clicked, this, [this] { addBackgroundImagesButtonDidClicked(); });
    bottom->addWidget(add);
    // Where no window manager draws a title bar the window needs its own
    // ways to close: the close keys, and this button.
    bottom->addSpacing(24);
    auto* close = new QPushButton(content);
    close->setMinimumSize(120, 48);
    CloseControls::makeCloseButton(close, this);
    bottom->addWidget(close);
    CloseControls::addCloseKeys(this);
    layout->addLayout(bottom);

    panel_ = new BackgroundImageSelectorPanel(this);
    resize(1100, 760);
    WrenUtils::centreWindowOnScreen(this);
}

void GreenScreenWindowController::setCameraManager(CameraManager* cameraManager) {
    cameraManager_ = cameraManager;
    if (cameraManager_) cameraManager_->setDelegate(bridge_);
}

std::shared_ptr<CameraManagerDelegate> GreenScreenWindowController::cameraDelegate() const { return bridge_; }

QString GreenScreenWindowController::modeKey(const char* key) const {
    return liveViewMode() ? GreenScreenFilterSettings::liveViewKey(key) : QString::fromUtf8(key);
}

std::int64_t GreenScreenWindowController::getValueFromDefaultsForGS(const char* key) const {
    return UserDefaults::standard().integer(modeKey(key).toStdString(), 0);
}

void GreenScreenWindowController::setValueInDefaults(const QString& key, std::int64_t value) {
    auto& defaults = UserDefaults::standard();
    defaults.set(key.toStdString(), value);
}

void GreenScreenWindowController::closeEvent(QCloseEvent* event) {
    closeMe();
    QWidget::closeEvent(event);
}

void GreenScreenWindowController::hideEvent(QHideEvent* event) {
    // However the window goes, its panel and a pick go with it: the panel
    // would stay over the guests' screens, a pick would wait for the next
    // click on the preview after the window comes back.
    if (!event->spontaneous()) {
        if (panel_->isVisible()) panel_->reject();
        cancelKeyColourPick();
    }
    QWidget::hideEvent(event);
}

bool GreenScreenWindowController::event(QEvent* event) {
    // While a pick waits, Escape ends the pick, not the window.
    if (event->type() == QEvent::ShortcutOverride && keyColorBox_->wasClicked) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

void GreenScreenWindowController::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && keyColorBox_->wasClicked) {
        cancelKeyColourPick();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void GreenScreenWindowController::closeMe() {
    removeCursor();
    endLiveViewIfNeeded();
    // The camera goes back to whoever asks for it next (the session screen).
    if (cameraManager_ && cameraManager_->delegate() == bridge_) cameraManager_->setDelegate(nullptr);
    base::NotificationCenter::defaultCenter().post(kGreenScreenWindowDidClosed);
}

void GreenScreenWindowController::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The preview's picking zone follows the image's new place.
    QTimer::singleShot(0, this, [this] {
        if (!eyedropper_) return;
        mergedImage_->removeCursorTrackingZone();
        mergedImage_->addCursorTrackingZone();
        changeMouseCursor();
    });
}

// Controls

void GreenScreenWindowController::greenScreenRemovalTypeDidChanged(int row) {
    if (!GreenScreenHooks::keyingEngineSupported()) {
        spdlog::error("GreenScreenRemovalTypeDidChanged: OpenGL is not supported on system....");
        GreenScreenHooks::showAlert(QStringLiteral("GreenScreen can't be used with your graphics card as configured."),
                                    QStringLiteral("Pleae make sure your graphics card supports OpenGL."), 2);
        setValueInDefaults(kGreenScreenOnKey, 2);
        QTimer::singleShot(0, this, [this] { greenRemovalTypeRadioGroup_->button(2)->setChecked(true); });
        return;
    }
    setValueInDefaults(kGreenScreenOnKey, row);
}

void GreenScreenWindowController::backgroundSelectionTypeDidChanged(int column) {
    setValueInDefaults(kGreenScreenBackgroundSelectionTypeKey, column);
}

void GreenScreenWindowController::imageSettingsTypeDidChanged(int column) {
    if (auto* b = imageSettingTypeRadioGroup_->button(column)) b->setChecked(true);
    if (column == 1) {
        keyColorBox_->addMouseTrackingArea();
        if (keyColorBox_->color().alpha() == 0) keyColorBox_->setColor(QColor(0, 255, 0));
    } else {
        keyColorBox_->removeMouseTrackingArea();
        resetSliders();
        removeCursor();
        mergedImage_->removeCursorTrackingZone();
    }
    setValueInDefaults(modeKey(kGreenScreenRemovalWayKey), column);
    sensitivitySlighter_->setEnabled(column == 1);
    smoothnessSlighter_->setEnabled(column == 1);
    if (column == 0) QTimer::singleShot(0, this, [this] { mergeImageButtonDidClicked(); });
}

void GreenScreenWindowController::settingsModeLabelsDidClicked(const QString& identifier) {
    const bool photo = identifier == QLatin1String("photoButton");
    auto chosen = QStringLiteral("color: %1; font-weight: bold;").arg(kChosenModeColor.name());
    auto other = QStringLiteral("color: palette(mid); font-weight: bold;");
    photoSettingsLabel_->setStyleSheet(photo ? chosen : other);
    liveviewSettingsLabel_->setStyleSheet(photo ? other : chosen);
    if (photo) {
        endLiveViewIfNeeded();
        settingsMode_ = QStringLiteral("PHOTO");
        selectImageOrLiveViewButton_->setText(QStringLiteral("CHANGE SAMPLE PHOTO"));
        selectImageOrLiveViewButton_->setObjectName(QStringLiteral("firstImageButton"));
    } else {
        settingsMode_ = QStringLiteral("LV");
        selectImageOrLiveViewButton_->setProperty("tag", 0);
        selectImageOrLiveViewButton_->setText(QStringLiteral("START"));
        selectImageOrLiveViewButton_->setObjectName(QStringLiteral("toggleLiveViewButton"));
    }
    gpuImageFilters_.reset();
    updateReplacementControlsFromSettings(photo ? GreenScreenFilterSettings::initFromNSDefaults()
                                                : GreenScreenFilterSettings::initFromNSDefaultsForLiveView());
    if (!photo) browseForImage();
    mergeImageButtonDidClicked();
}

void GreenScreenWindowController::browseForImage() {
    if (selectImageOrLiveViewButton_->objectName() == QLatin1String("firstImageButton")) {
        const QString path =
            GreenScreenHooks::chooseImageFile(this, {"jpg", "JPG", "png", "jpeg", "JPEG"});
        if (!path.isEmpty()) newBackgroundImageLoadedFromURL(path);
        return;
    }
    if (selectImageOrLiveViewButton_->property("tag").toInt() != 0) {
        endLiveViewIfNeeded();
        return;
    }
    if (cameraManager_ && cameraManager_->isDeviceReadyForNewSession()) {
        cameraManager_->setDelegate(bridge_);
        cameraManager_->startLiveView();
        cameraManager_->resumeLiveView();
        selectImageOrLiveViewButton_->setProperty("tag", 1);
        selectImageOrLiveViewButton_->setText(QStringLiteral("STOP"));
    } else {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Live view can't be started, make sure camera is connected."), 5.0);
    }
}

void GreenScreenWindowController::addBackgroundImagesButtonDidClicked() {
    endLiveViewIfNeeded();
    panel_->prepareToShowPanel();
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
}

void GreenScreenWindowController::mergeImageButtonDidClicked() {
    try {
        if (!backgroundImagesInUse_ && !backgroundImages_.empty()) backgroundImagesInUse_ = backgroundImages_.front();
        if (sample_.isNull()) return;
        if (backgroundImagesInUse_) selectThumbnail(backgroundImagesInUse_);

        GreenScreenFilterSettings settings;
        if (getValueFromDefaultsForGS(kGreenScreenRemovalWayKey) == 1) {
            if (keyColorBox_->color().alpha() == 0) keyColorBox_->setColor(QColor(0, 255, 0));
            settings = GreenScreenFilterSettings::initWithSettingsWithSmoothness(
                static_cast<float>(sensitivitySliderValue_), static_cast<float>(smoothnessSliderValue_),
                keyColorBox_->color());
        } else {
            const QColor found = DominantColorFinder::findBestColorForAutoModeInImage(sample_);
            if (found.isValid()) keyColorBox_->setColor(found);
            settings = GreenScreenFilterSettings::initWithSettingsWithSmoothness(
                GreenScreenFilterSettings::kDefaultSensitivity, GreenScreenFilterSettings::kDefaultSmoothness, found);
        }

        QImage background = backgroundImagesInUse_ ? backgroundImagesInUse_->image : QImage();
        if (background.isNull()) {
            background = QImage(sample_.size(), QImage::Format_ARGB32_Premultiplied);
            background.fill(Qt::transparent);
        }
        const QImage overlay = backgroundImagesInUse_ ? backgroundImagesInUse_->overlayImage : QImage();
        if (!liveViewMode()) {
            settings.saveInDefaults();
            if (!gpuImageFilters_) gpuImageFilters_ = GreenScreenFilters::initWithSampleImage(sample_);
        } else {
            settings.saveInDefaultsForLiveView();
            if (!gpuImageFilters_) {
                gpuImageFilters_ = std::make_shared<GreenScreenFilters>();
                gpuImageFilters_->initImages(background, overlay);
            }
        }
        const QImage result = gpuImageFilters_->applyGPUFilterOnImage(sample_, background, overlay, &settings);
        if (!keyColorBox_->wasClicked && WrenUtils::isValidImage(result)) mergedImage_->setImage(result);
    } catch (const std::exception& e) {
        spdlog::error("GreenScreenWindow: Can't merge images, got exception as {}", e.what());
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Please try again with valid images."), 3.0);
    }
}

void GreenScreenWindowController::setSliderSilently(QSlider* slider, double value) {
    QSignalBlocker block(slider);
    slider->setValue(static_cast<int>(std::lround(value * 1000)));
}

void GreenScreenWindowController::setSensitivitySliderValue(double value) {
    sensitivitySliderValue_ = value;
    setSliderSilently(sensitivitySlighter_, value);
    adjustSensitiivtyAndSmoothness();
}

void GreenScreenWindowController::setSmoothnessSliderValue(double value) {
    smoothnessSliderValue_ = value;
    setSliderSilently(smoothnessSlighter_, value);
    adjustSensitiivtyAndSmoothness();
}

void GreenScreenWindowController::updateSliderLabels() {
    // Whole percentages, truncated after narrowing to float: 0.29 shows 29.
    auto percent = [](double v) { return QString::number(static_cast<int>(static_cast<float>(v * 100))); };
    sensitivitySilderValueLabel_->setText(percent(sensitivitySliderValue_));
    smoothnessSilderValueLabel_->setText(percent(smoothnessSliderValue_));
}

void GreenScreenWindowController::adjustSensitiivtyAndSmoothness() {
    updateSliderLabels();
    if (mergedImage_->image().isNull()) return;
    const auto settings = GreenScreenFilterSettings::initWithSettingsWithSmoothness(
        static_cast<float>(sensitivitySliderValue_), static_cast<float>(smoothnessSliderValue_), keyColorBox_->color());
    if (gpuImageFilters_) {
        const QImage result = gpuImageFilters_->settingsDidChanged(settings);
        if (WrenUtils::isValidImage(result)) mergedImage_->setImage(result);
    }
    if (liveViewMode()) {
        settings.saveInDefaultsForLiveView();
    } else {
        settings.saveInDefaults();
    }
}

void GreenScreenWindowController::resetSliders() {
    sensitivitySliderValue_ = GreenScreenFilterSettings::kDefaultSensitivity;
    smoothnessSliderValue_ = GreenScreenFilterSettings::kDefaultSmoothness;
    setSliderSilently(sensitivitySlighter_, sensitivitySliderValue_);
    setSliderSilently(smoothnessSlighter_, smoothnessSliderValue_);
    updateSliderLabels();
}

void GreenScreenWindowController::updateReplacementControlsFromSettings(const GreenScreenFilterSettings& settings) {
    const auto way = getValueFromDefaultsForGS(kGreenScreenRemovalWayKey);
    if (auto* b = imageSettingTypeRadioGroup_->button(way != 0 ? 1 : 0)) b->setChecked(true);
    sensitivitySliderValue_ = settings.sensitivity();
    smoothnessSliderValue_ = settings.smoothness();
    setSliderSilently(sensitivitySlighter_, sensitivitySliderValue_);
    setSliderSilently(smoothnessSlighter_, smoothnessSliderValue_);
    updateSliderLabels();
    if (settings.spotColor().isValid()) keyColorBox_->setColor(settings.spotColor());
    sensitivitySlighter_->setEnabled(way != 0);
    smoothnessSlighter_->setEnabled(way != 0);
}

// Background list

void GreenScreenWindowController::loadBackgroundsImages() {
    const auto chosen = UserDefaults::standard().object(kGreenScreenBackgroundsToUseKey);
    const BackgroundImagePtr chosenEntry = chosen ? backgroundFromStoredEntry(*chosen) : nullptr;
    backgroundImages_.clear();
    BackgroundImagePtr remembered;
    bool dropped = false;
    for (auto& background : storedBackgroundEntries()) {
        background->image = loadPreviewImage(background->imageURL);
        if (!background->overlayImageURL.isEmpty()) {
            background->overlayImage = loadPreviewImage(background->overlayImageURL);
        }
        if (!WrenUtils::isValidImage(background->image)) {
            spdlog::warn("GreenScreenWindow: dropping the background {}, it cannot be read",
                         background->imageURL.toStdString());
            dropped = true;
            continue;
        }
        if (chosenEntry && background->imageURL == chosenEntry->imageURL) remembered = background;
        backgroundImages_.push_back(background);
    }
    refreshThumbnails();
    if (remembered) selectThumbnail(remembered);
    if (dropped) updateDefaults();
}

void GreenScreenWindowController::updateDefaults() { storeBackgroundEntries(backgroundImages_); }

void GreenScreenWindowController::userDidAddedNewBGAndOverlayImages(const BackgroundImagePtr& background) {
    if (!background) return;
    backgroundImages_.push_back(background);
    updateDefaults();
    refreshThumbnails();
    useDidChangedBackgroundImage(background);
    QTimer::singleShot(0, this, [this] { startLiveViewIfNeeded(); });
}

void GreenScreenWindowController::useDidChangedBackgroundImage(const BackgroundImagePtr& background) {
    if (!background) return;
    secondImage_->setImage(background->image);
    backgroundImagesInUse_ = background;
    auto& defaults = UserDefaults::standard();
    defaults.set(kGreenScreenBackgroundsToUseKey, background->storedEntry());
    if (liveViewMode() && cameraManager_) {
        cameraManager_->pauseLiveView();
        QTimer::singleShot(200, this, [this] { resetAndResumeLiveView(); });
    } else {
        gpuImageFilters_.reset();
    }
    QTimer::singleShot(0, this, [this] { mergeImageButtonDidClicked(); });
}

void GreenScreenWindowController::resetAndResumeLiveView() {
    gpuImageFilters_.reset();
    if (cameraManager_) cameraManager_->resumeLiveView();
}

void GreenScreenWindowController::removeBackgroundImage(const BackgroundImagePtr& background) {
    if (!background) return;
    const auto it = std::find(backgroundImages_.begin(), backgroundImages_.end(), background);
    if (it == backgroundImages_.end()) return;
    backgroundImages_.erase(it);
    updateDefaults();
    if (backgroundImagesInUse_ && backgroundImagesInUse_->imageURL == background->imageURL) {
        secondImage_->setImage(QImage());
        backgroundImagesInUse_.reset();
        if (!backgroundImages_.empty()) {
            useDidChangedBackgroundImage(backgroundImages_.front());
        } else {
            auto& defaults = UserDefaults::standard();
            defaults.remove(kGreenScreenBackgroundsToUseKey);
            gpuImageFilters_.reset();
            mergeImageButtonDidClicked();
        }
    }
    refreshThumbnails();
}

void GreenScreenWindowController::refreshThumbnails() {
    for (auto* item : thumbs_) {
        thumbsLayout_->removeWidget(item);
        item->deleteLater();
    }
    thumbs_.clear();
    for (const auto& background : backgroundImages_) {
        auto* item = new ThumbnailImageViewItem(thumbsContent_);
        item->setRepresentedObject(background);
        connect(item, &ThumbnailImageViewItem::clicked, this,
                [this](ThumbnailImageViewItem* clicked) { selectThumbnail(clicked->representedObject()); });
        thumbsLayout_->insertWidget(thumbsLayout_->count() - 1, item);
        thumbs_.push_back(item);
    }
    // The selection survives a refresh without being announced again.
    for (auto* item : thumbs_) {
        if (item->representedObject() == backgroundImagesInUse_) item->setSelected(true, false);
    }
}

void GreenScreenWindowController::selectThumbnail(const BackgroundImagePtr& background) {
    for (auto* item : thumbs_) {
        if (item->representedObject() != background) item->setSelected(false);
    }
    for (auto* item : thumbs_) {
        if (item->representedObject() == background) item->setSelected(true);
    }
}

// Sample photo

void GreenScreenWindowController::showSample(const QImage& image) {
    sample_ = image;
    firstImage_->setImage(image);
}

void GreenScreenWindowController::newBackgroundImageLoadedFromURL(const QString& path) {
    QImage image = loadPreviewImage(path, 4096);
    if (image.isNull()) {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            QStringLiteral("Please try again with valid images."), 3.0);
        return;
    }
    const QSizeF view(mergedImage_->size());
    if (static_cast<double>(image.width()) * image.height() > view.width() * view.height()) {
        const QSizeF fit = sizeByScalingProportionallyToSize(view, QSizeF(image.size()));
        image = resizeImageToSize(image, fit.toSize().expandedTo(QSize(1, 1)));
    }
    tempDirPath_ = WrenUtils::getTempFolderPath();
    QDir().mkpath(tempDirPath_);
    const QString copy = tempDirPath_ + "/" + QFileInfo(path).fileName();
    if (!saveImageAtURLAsJPEG(image, copy)) {
        spdlog::warn("GreenScreenWindow: cannot keep the sample at {}", copy.toStdString());
    }
    showSample(image);
    gpuImageFilters_.reset();
    QTimer::singleShot(0, this, [this] {
        if (!backgroundImages_.empty() && secondImage_->image().isNull()) {
            useDidChangedBackgroundImage(backgroundImages_.front());
        } else {
            mergeImageButtonDidClicked();
        }
    });
}

void GreenScreenWindowController::loadStartupSampleImage() {
    tempDirPath_ = WrenUtils::getTempFolderPath();
    QDir originals(WrenUtils::getOriginalsFolderPath());
    const auto files = originals.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Time);
    for (const QFileInfo& f : files) {
        if (f.fileName().endsWith(QLatin1String("jpg")) || f.fileName().endsWith(QLatin1String("JPG"))) {
            newBackgroundImageLoadedFromURL(f.absoluteFilePath());
            return;
        }
    }
}

// Key colour

void GreenScreenWindowController::didReceiveMouseDownOnKeyColorView() {
    if (getValueFromDefaultsForGS(kGreenScreenRemovalWayKey) == 0) {
        keyColorBox_->wasClicked = false;
        return;
    }
    spdlog::info("Settings are manual so let's go ahead and change mouse pointer and so on....");
    if (sample_.isNull()) {
        keyColorBox_->wasClicked = false;  // nothing to pick from
        return;
    }
    colourBeforePick_ = keyColorBox_->color();
    if (liveViewMode() && cameraManager_) cameraManager_->pauseLiveView();
    mergedImage_->setImage(sample_);
    keyColorBox_->removeMouseTrackingArea();
    mergedImage_->addCursorTrackingZone();
    changeMouseCursor();
}

void GreenScreenWindowController::changeMouseCursor() {
    static const QCursor cursor = dropperCursor();
    eyedropper_ = true;
    mergedImage_->setCursor(cursor);
}

void GreenScreenWindowController::removeCursor() {
    if (!eyedropper_) return;
    eyedropper_ = false;
    mergedImage_->unsetCursor();
}

void GreenScreenWindowController::cancelKeyColourPick() {
    if (!keyColorBox_->wasClicked && !eyedropper_) return;
    keyColorBox_->wasClicked = false;
    removeCursor();
    mergedImage_->removeCursorTrackingZone();
    if (getValueFromDefaultsForGS(kGreenScreenRemovalWayKey) == 1) keyColorBox_->addMouseTrackingArea();
    if (colourBeforePick_.isValid()) keyColorBox_->setColor(colourBeforePick_);
    if (!isVisible()) return;
    if (liveViewMode() && cameraManager_) cameraManager_->resumeLiveView();
    // The keyed preview again, in place of the sample the pick showed.
    mergeImageButtonDidClicked();
}

void GreenScreenWindowController::keyCodeDidChangedOnMouseMove(const QColor& color) {
    if (getValueFromDefaultsForGS(kGreenScreenRemovalWayKey) != 1 || sample_.isNull() || !keyColorBox_->wasClicked)
        return;
    keyColorBox_->setColor(color);
}

void GreenScreenWindowController::keyCodeDidChanged(const QColor& color) {
    if (getValueFromDefaultsForGS(kGreenScreenRemovalWayKey) != 1 || sample_.isNull() || !keyColorBox_->wasClicked)
        return;
    keyColorBox_->wasClicked = false;
    keyColorBox_->setColor(color);
    removeCursor();
    if (liveViewMode() && cameraManager_) cameraManager_->resumeLiveView();
    mergedImage_->removeCursorTrackingZone();
    keyColorBox_->addMouseTrackingArea();
    mergeImageButtonDidClicked();
}

// Live view

void GreenScreenWindowController::didReceivedLiveViewImage(const QImage& frame) {
    showSample(frame);
    if (liveViewMode() && !keyColorBox_->wasClicked) mergeImageButtonDidClicked();
}

void GreenScreenWindowController::startLiveViewIfNeeded() {
    if (!liveViewMode() || !cameraManager_ || !cameraManager_->isDeviceReadyForNewSession()) return;
    cameraManager_->setDelegate(bridge_);
    cameraManager_->startLiveView();
    selectImageOrLiveViewButton_->setText(QStringLiteral("STOP"));
    selectImageOrLiveViewButton_->setProperty("tag", 1);
}

void GreenScreenWindowController::endLiveViewIfNeeded() {
    if (!liveViewMode()) return;
    if (cameraManager_) cameraManager_->endLiveView();
    selectImageOrLiveViewButton_->setText(QStringLiteral("START"));
    selectImageOrLiveViewButton_->setProperty("tag", 0);
}
