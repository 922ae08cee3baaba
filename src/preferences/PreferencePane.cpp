#include "preferences/PreferencePane.h"
#include <nlohmann/json.hpp>

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

#include "core/MainQueue.h"
#include "core/UserDefaults.h"
#include "preferences/CustomControls.h"
#include "templates/TEUtils.h"

PreferencePane::PreferencePane(QString identifier, QString imageName, QString label)
    : identifier_(std::move(identifier)), imageName_(std::move(imageName)), label_(std::move(label)) {
    binder_ = new SettingsBinder(this);
    // Each panel belongs to the preferences window: it stays above it and,
    // once closed, hands the keyboard back to it rather than to the booth's
    // main window.
    chooseFolder = [this](const QString& title) {
        return QFileDialog::getExistingDirectory(dialogParent(), title, QString(), QFileDialog::ShowDirsOnly);
    };
    chooseFile = [this](const QString& title, const QStringList& extensions) {
        QStringList patterns;
        for (auto& e : extensions) patterns << "*." + e;
        return QFileDialog::getOpenFileName(dialogParent(), title, QString(),
                                            QStringLiteral("Images (%1)").arg(patterns.join(' ')));
    };
    confirm = [this](const QString& message) {
        QMessageBox box(QMessageBox::Critical, QString(), message, QMessageBox::NoButton, dialogParent());
        box.setInformativeText(QString());
        box.addButton(QStringLiteral("No"), QMessageBox::RejectRole);
        auto* yes = box.addButton(QStringLiteral("Yes"), QMessageBox::AcceptRole);
        box.exec();
        return box.clickedButton() == yes;
    };
    openURL = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
}

PreferencePane::~PreferencePane() {
    delete binder_;
    binder_ = nullptr;
    delete view_;
}

QWidget* PreferencePane::dialogParent() const {
    // The pane's view is shown inside the preferences window.
    return view_ ? view_->window() : nullptr;
}

QWidget* PreferencePane::view() {
    if (!view_) {
        view_ = new QWidget();
        view_->setObjectName(identifier_);
        buildView(view_);
        view_->adjustSize();
    }
    return view_;
}

ClickableLabelTextField* PreferencePane::makeLink(const QString& text, const QString& objectName,
                                                 std::function<void()> action) {
    auto* link = new ClickableLabelTextField(text);
    link->setObjectName(objectName);
    QFont font = link->font();
    font.setUnderline(true);
    link->setFont(font);
    QPalette palette = link->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::Link));
    link->setPalette(palette);
    link->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    connect(link, &ClickableLabelTextField::clicked, this, std::move(action));
    return link;
}

QStringList PreferencePane::offeredSettings() {
    view();
    return binder_->offeredKeys();
}

// Shooting ------------------------------------------------------------------

ShootingPreferencesViewController::ShootingPreferencesViewController()
    : PreferencePane("ShootingPreferences", "appbar.camera_prefe", "Shooting") {}

void ShootingPreferencesViewController::buildView(QWidget* view) {
    auto* form = new QFormLayout(view);
    auto* between = new QSpinBox();
    between->setRange(0, 60);
    between->setObjectName("seconds_between_shots");
    binder()->bindSpinBox(between, "seconds_between_shots");
    form->addRow("Countdown before each photo (seconds):", between);
    auto* groups = new QSpinBox();
    groups->setRange(0, 600);
    groups->setObjectName("seconds_between_groups");
    binder()->bindSpinBox(groups, "seconds_between_groups");
    form->addRow("Seconds the final screen waits before returning home:", groups);
    auto* live = new QCheckBox("Show the camera's live view during the countdown");
    live->setObjectName("LiveViewEnabled");
    binder()->bindCheckBox(live, "LiveViewEnabled");
    form->addRow(live);
    auto* mirror = new QCheckBox("Mirror the live view");
    mirror->setObjectName("MirrorLiveView");
    binder()->bindCheckBox(mirror, "MirrorLiveView");
    form->addRow(mirror);
    auto* trigger = new QCheckBox("Take each photo when the countdown ends");
    trigger->setToolTip("Off: the guest takes each photo with the space bar, a touch on the screen or the camera's shutter button.");
    trigger->setObjectName("trigger_camera");
    binder()->bindCheckBox(trigger, "trigger_camera");
    form->addRow(trigger);
    view->setMinimumSize(460, 200);
    view->resize(460, 200);
}

// Print ---------------------------------------------------------------------

PrintPreferencesViewController::PrintPreferencesViewController()
    : PreferencePane("PrintPreferences", "appbar.printer.blank-dark", " Print  ") {}

PrintPreferencesViewController::~PrintPreferencesViewController() { removeCountObserver(); }

void PrintPreferencesViewController::buildView(QWidget* view) {
    auto* form = new QFormLayout(view);
    field_ = new QLineEdit();
    field_->setObjectName("numberOfPrintsPerSessionTextField");
    connect(field_, &QLineEdit::editingFinished, this, [this] { sessionPrintCountDidChanged(); });
    binder()->offers("MAX_PRINTS_PER_SESSION");
    form->addRow("Most prints per session (at most 10):", field_);
    auto* perEvent = new QSpinBox();
    perEvent->setRange(0, 100000);
    perEvent->setObjectName("MAX_PRINTS_PER_EVENT");
    binder()->bindSpinBox(perEvent, "MAX_PRINTS_PER_EVENT");
    form->addRow("Most prints per event (0: no limit):", perEvent);
    auto* show = new QCheckBox("Show the print button on the final screen");
    show->setObjectName("SHOW_PRINT_BUTTON_FINAL_SCREEN");
    binder()->bindCheckBox(show, "SHOW_PRINT_BUTTON_FINAL_SCREEN");
    form->addRow(show);
    auto* hide = new QCheckBox("Hide the print button after the most prints");
    hide->setObjectName("HIDE_PRINT_BUTTON_AFTER_MAX_PRINT");
    binder()->bindCheckBox(hide, "HIDE_PRINT_BUTTON_AFTER_MAX_PRINT");
    form->addRow(hide);
    auto* autoPrint = new QCheckBox("Print automatically");
    autoPrint->setObjectName("print_automatically");
    binder()->bindCheckBox(autoPrint, "print_automatically");
    form->addRow(autoPrint);
    form->addRow(makeLink("Printer set-up help", "printerSetupHelp", [this] { showPrinterSetupWebPage(); }));
    view->setMinimumSize(460, 220);
    view->resize(460, 220);
    // Opening the pane shows the count; it stores nothing the operator did
    // not change.
    validatePrintCount(false);
    addCountObserver();
}

QWidget* PrintPreferencesViewController::numberOfPrintsPerSessionTextField() const { return field_; }

void PrintPreferencesViewController::addCountObserver() {
    if (observer_) return;
    QPointer<PrintPreferencesViewController> self(this);
    observer_ = UserDefaults::standard().observe("MAX_PRINTS_PER_SESSION", [self](const std::string&) {
        runOnMainThread([self] {
            if (!self) return;
            // Our own write must not come back to us.
            self->removeCountObserver();
            self->validatePrintCount();
            self->addCountObserver();
        });
    });
}

void PrintPreferencesViewController::removeCountObserver() {
    if (!observer_) return;
    UserDefaults::standard().unobserve(observer_);
    observer_ = 0;
}

void PrintPreferencesViewController::sessionPrintCountDidChanged() {
    if (field_) {
        bool ok = false;
        long long typed = field_->text().trimmed().toLongLong(&ok);
        if (ok) {
            removeCountObserver();
            UserDefaults::standard().set("MAX_PRINTS_PER_SESSION", static_cast<std::int64_t>(typed));
            addCountObserver();
        }
    }
    validatePrintCount();
}

void PrintPreferencesViewController::validatePrintCount(bool store) {
    auto& d = UserDefaults::standard();
    std::int64_t count = d.integer("MAX_PRINTS_PER_SESSION", 0);
    if (count > 10) count = 10;
    if (store) {
        bool wasObserving = observer_ != 0;
        removeCountObserver();
        d.set("MAX_PRINTS_PER_SESSION", count);
        if (wasObserving) addCountObserver();
    }
    shownCount_ = QString::number(count);
    if (field_) field_->setText(shownCount_);
}

void PrintPreferencesViewController::viewWillDisappear() {
    // A count typed but not yet confirmed is taken as the operator's change.
    if (field_ && field_->text() != shownCount_) sessionPrintCountDidChanged();
    else validatePrintCount(false);
}

void PrintPreferencesViewController::showPrinterSetupWebPage() {
    openURL("https://support.flashwren.com/printing-2x6-photo-strips");
}

// Display -------------------------------------------------------------------

DisplayPrefrencesViewController::DisplayPrefrencesViewController()
    : PreferencePane("DisplayPreferences", "appbar.monitor", "Display") {
    chooseColor = [this](const QColor& current) {
        return QColorDialog::getColor(current.isValid() ? current : QColor(24, 28, 36), dialogParent(),
                                      "Choose the home screen colour");
    };
}

void DisplayPrefrencesViewController::buildView(QWidget* view) {
    auto* form = new QFormLayout(view);
    auto* start = new QLineEdit();
    start->setObjectName("START_TEXT");
    binder()->bindLineEdit(start, "START_TEXT");
    form->addRow("Home screen text:", start);
    auto* image = new VerticallyCenteredTextField();
    image->setObjectName("BACKGROUND_IMAGE");
    image->setReadOnly(true);
    binder()->bindLineEdit(image, "BACKGROUND_IMAGE");
    auto* row = new QHBoxLayout();
    row->addWidget(image, 1);
    auto* choose = new QPushButton("Choose...");
    choose->setObjectName("chooseBackgroundImage");
    connect(choose, &QPushButton::clicked, this, [this] { useDidClickToChooseBackgroundImage(); });
    auto* clear = new QPushButton("Clear");
    clear->setObjectName("clearBackgroundImage");
    connect(clear, &QPushButton::clicked, this, [this] { userDidClickToClearBackgroundImage(); });
    row->addWidget(choose);
    row->addWidget(clear);
    form->addRow("Home screen image:", row);

    auto* type = new QComboBox();
    type->setObjectName("BACKGROUND_TYPE_SELECTION");
    type->addItem("The colour only", 0);
    type->addItem("The image over the colour", 1);
    binder()->bindComboBox(type, "BACKGROUND_TYPE_SELECTION");
    form->addRow("Home screen shows:", type);
    auto* colour = new VerticallyCenteredTextField();
    colour->setObjectName("HOME_SCREEN_BACKGROUND");
    colour->setReadOnly(true);
    binder()->bindLineEdit(colour, "HOME_SCREEN_BACKGROUND");
    auto* colourRow = new QHBoxLayout();
    colourRow->addWidget(colour, 1);
    auto* chooseColour = new QPushButton("Choose...");
    chooseColour->setObjectName("chooseHomeScreenColour");
    connect(chooseColour, &QPushButton::clicked, this, [this] { userDidClickToChooseHomeScreenColour(); });
    colourRow->addWidget(chooseColour);
    form->addRow("Home screen colour:", colourRow);
    view->setMinimumSize(520, 180);
    view->resize(520, 180);
}

void DisplayPrefrencesViewController::userDidClickToChooseHomeScreenColour() {
    const QColor current(QString::fromStdString(UserDefaults::standard().string("HOME_SCREEN_BACKGROUND")));
    const QColor chosen = chooseColor(current);
    if (!chosen.isValid()) return;  // cancelled
    TEUtils::setUserSetting(chosen.name(QColor::HexRgb), "HOME_SCREEN_BACKGROUND");
}

void DisplayPrefrencesViewController::useDidClickToChooseBackgroundImage() {
    static const QStringList kTypes = {"JPG", "jpeg", "jpg", "png", "PNG"};
    QString path = chooseFile("Choose the home screen image", kTypes);
    if (path.isEmpty()) return;
    // The chooser's filter is only a hint: refuse any other kind of file.
    if (!kTypes.contains(QFileInfo(path).suffix())) return;
    TEUtils::setUserSetting(path, "BACKGROUND_IMAGE");
}

void DisplayPrefrencesViewController::userDidClickToClearBackgroundImage() {
    TEUtils::setUserSetting(QString(""), "BACKGROUND_IMAGE");
}
