#include "preferences/GeneralPreferencesViewController.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QIcon>
#include <cmath>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <spdlog/spdlog.h>

#include "core/ProgressWindowController.h"
#include "core/WrenUtils.h"
#include "preferences/CustomControls.h"
#include "preferences/HotPlugRegistration.h"
#include "templates/TEUtils.h"
#include "templates/TETemplateLibrary.h"

namespace {
HotPlugPreferences* gTestPrefs = nullptr;
const QStringList kColumns = {"type", "total", "pending", "lastError", "today", "trash"};
}  // namespace

GeneralPreferencesViewController::GeneralPreferencesViewController()
    : PreferencePane("GeneralPreferences", "appbar.home", "General") {
    revealFile = [](const QString& path) {
        // Ask the file manager to show the file selected; else open its folder.
        bool shown = QProcess::startDetached(
            "dbus-send", {"--session", "--dest=org.freedesktop.FileManager1", "--type=method_call",
                          "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1.ShowItems",
                          "array:string:" + QUrl::fromLocalFile(path).toString(), "string:"});
        if (!shown) QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).path()));
    };
    // A copy under way as the booth quits stops, and the data folder stays.
    if (qApp) connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { stopDataDirectoryCopy(); });
}

GeneralPreferencesViewController::~GeneralPreferencesViewController() { stopDataDirectoryCopy(); }

void GeneralPreferencesViewController::stopDataDirectoryCopy() {
    if (!copyThread_.joinable()) return;
    *stopCopy_ = true;
    copyThread_.join();  // the copy stops within the file it is on and removes what it made
}

QString GeneralPreferencesViewController::keyboardWarningTextForToolkitVersion(double version) {
    if (std::floor(version) >= 1404.11)
        return "(Please make sure to enable 'Show Keyboard & Character Viewer in menu bar' in OS X keyboard prefrences.)";
    return "";
}

void GeneralPreferencesViewController::setupAppStartupFeatures() {
    // Qt's own input panel needs no system setting, so there is nothing to hint at.
    TEUtils::setUserSetting(keyboardWarningTextForToolkitVersion(0), "VIRTUAL_KEYBOARD_WARNING_TEXT");
    updateAutoOpenAppPreferances();
}

void GeneralPreferencesViewController::updateAutoOpenAppPreferances() {
    if (TEUtils::getUserSettingForKey("AUTO_LAUNCH_APP_ON_CAMERA_CONNECT").toBool()) setShouldAutoLaunch(true);
}

void GeneralPreferencesViewController::setHotPlugPreferencesForTesting(HotPlugPreferences* prefs) {
    gTestPrefs = prefs;
}

void GeneralPreferencesViewController::setShouldAutoLaunch(bool flag) {
    if (gTestPrefs) {
        applyShouldAutoLaunch(*gTestPrefs, flag, "flashwren.desktop");
        return;
    }
    MimeAppsHotPlugPreferences prefs;
    QString own = flag ? installOwnDesktopEntry() : QString("flashwren.desktop");
    applyShouldAutoLaunch(prefs, flag, own);
}

void GeneralPreferencesViewController::buildView(QWidget* view) {
    auto* layout = new QVBoxLayout(view);
    auto* autoLaunch = new QCheckBox("Open Flashwren when a camera is connected");
    autoLaunch->setObjectName("AUTO_LAUNCH_APP_ON_CAMERA_CONNECT");
    binder()->bindCheckBox(autoLaunch, "AUTO_LAUNCH_APP_ON_CAMERA_CONNECT");
    connect(autoLaunch, &QCheckBox::clicked, this, [this](bool on) { toggleAutoLaunchAppOnCameraConnect(on); });
    layout->addWidget(autoLaunch);
    auto* keyboard = new QCheckBox("Show the on-screen keyboard when guests type");
    keyboard->setObjectName("SHOW_VIRTUAL_KEYBOARD");
    binder()->bindCheckBox(keyboard, "SHOW_VIRTUAL_KEYBOARD");
    layout->addWidget(keyboard);
    auto* hint = new QLabel();
    hint->setObjectName("VIRTUAL_KEYBOARD_WARNING_TEXT");
    hint->setWordWrap(true);
    binder()->bindLabel(hint, "VIRTUAL_KEYBOARD_WARNING_TEXT");
    layout->addWidget(hint);
    // Shown and hidden at once, but the input method it needs (the keyboard,
    // or the desktop's own for dead keys and compose) is chosen at start.
    auto* restartNote = new QLabel("The change of input method takes effect at the next start of Flashwren.");
    restartNote->setObjectName("keyboardRestartNote");
    restartNote->setWordWrap(true);
    auto showRestartNote = [restartNote](bool on) {
        restartNote->setVisible(WrenUtils::virtualKeyboardChangeNeedsRestart(on));
    };
    connect(keyboard, &QCheckBox::toggled, restartNote, showRestartNote);
    showRestartNote(keyboard->isChecked());
    layout->addWidget(restartNote);
    // The box alone would say the keyboard shows when it cannot.
    auto* desktopNote = new QLabel();
    desktopNote->setObjectName("keyboardDesktopInputMethodNote");
    desktopNote->setWordWrap(true);
    auto showDesktopNote = [desktopNote](bool on) {
        const QString desktop = WrenUtils::desktopInputMethod();
        desktopNote->setText(QString("The desktop's input method (%1) is in use, so the on-screen keyboard does not "
                                     "show. Start Flashwren without QT_IM_MODULE set to use it.")
                                 .arg(desktop));
        desktopNote->setVisible(on && !desktop.isEmpty());
    };
    connect(keyboard, &QCheckBox::toggled, desktopNote, showDesktopNote);
    showDesktopNote(keyboard->isChecked());
    layout->addWidget(desktopNote);
    accessibilityButton_ = new QPushButton("Open the accessibility settings...");
    accessibilityButton_->setObjectName("openAccessibilitySettings");
    if (accessibilitySettingsCommand()) {
        accessibilityButton_->setToolTip("Opens the desktop's accessibility settings (on-screen keyboard, zoom, contrast).");
    } else {
        accessibilityButton_->setEnabled(false);
        accessibilityButton_->setToolTip(
            "No accessibility settings are installed on this desktop (GNOME Settings or KDE System Settings).");
    }
    connect(accessibilityButton_, &QPushButton::clicked, this, [this] { openAccessibilitySettingsButtonDidClicked(); });
    auto* accessibilityRow = new QHBoxLayout();
    accessibilityRow->addWidget(accessibilityButton_);
    accessibilityRow->addStretch(1);
    layout->addLayout(accessibilityRow);

    auto* dataRow = new QHBoxLayout();
    auto* dataDir = new VerticallyCenteredTextField();
    dataDir->setObjectName("DATA_DIRECTORY");
    dataDir->setReadOnly(true);
    binder()->bindLineEdit(dataDir, "DATA_DIRECTORY");
    auto* change = new QPushButton("Change...");
    changeDataDirectoryButton_ = change;
    change->setObjectName("changeDataDirectory");
    connect(change, &QPushButton::clicked, this, [this] { useDidClickToChangeDataDirectory(); });
    dataRow->addWidget(new QLabel("Data folder:"));
    dataRow->addWidget(dataDir, 1);
    dataRow->addWidget(change);
    layout->addLayout(dataRow);

    statsTable_ = new QTableWidget(static_cast<int>(WrenUtils::getAllSharingType().size()), kColumns.size());
    statsTable_->setObjectName("statsTable");
    statsTable_->setHorizontalHeaderLabels({"Type", "Total", "Pending", "Last error", "Today", ""});
    statsTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
    statsTable_->setSelectionMode(QAbstractItemView::SingleSelection);
    statsTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    statsTable_->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
    statsTable_->verticalHeader()->hide();
    layout->addWidget(statsTable_, 1);

    auto* buttons = new QHBoxLayout();
    auto* reset = new QPushButton("Reset statistics");
    reset->setObjectName("resetAllStats");
    connect(reset, &QPushButton::clicked, this, [this] { resetAllStatsButtonDidClicked(); });
    auto* cancel = new QPushButton("Cancel pending");
    cancel->setObjectName("cancelAllPendingItems");
    cancel->setToolTip("Cancel sending out of all pending items.");
    connect(cancel, &QPushButton::clicked, this, [this] { cancelAllPendingItemsButtonDidClicked(); });
    auto* exportButton = new QPushButton("Export shares...");
    exportButton->setObjectName("viewShares");
    connect(exportButton, &QPushButton::clicked, this, [this] { viewSharesButtonDidClicked(); });
    buttons->addWidget(reset);
    buttons->addWidget(cancel);
    buttons->addStretch(1);
    buttons->addWidget(exportButton);
    layout->addLayout(buttons);
    view->setMinimumSize(600, 420);
    view->resize(600, 420);
}

void GeneralPreferencesViewController::toggleAutoLaunchAppOnCameraConnect(bool on) { setShouldAutoLaunch(on); }

QString GeneralPreferencesViewController::cellValue(int row, const QString& column) const {
    auto types = WrenUtils::getAllSharingType();
    if (row < 0 || row >= types.size()) return {};
    int type = types[row];
    auto it = statsDictionary_.find(type);
    SharingStats s = it == statsDictionary_.end() ? SharingStats{} : it->second;
    if (column == "type") return WrenUtils::getSharingTypeMapping()[type];
    if (column == "total") return QString::number(s.total);
    if (column == "pending") return QString::number(s.pending);
    if (column == "lastError") return s.lastError;
    if (column == "today") return QString::number(s.totalToday);
    return "";
}

QString GeneralPreferencesViewController::toolTip(int row, const QString& column) const {
    if (column == "lastError") return cellValue(row, column);
    if (column == "trash") return "Cancel sending out of all pending items.";
    return "";
}

void GeneralPreferencesViewController::reloadLoadStatsDataFromDB() {
    statsDictionary_ = SharingStatsInfoModel::getAllStats();
    if (!statsTable_) return;
    for (int row = 0; row < statsTable_->rowCount(); ++row) {
        for (int col = 0; col < kColumns.size(); ++col) {
            auto* item = new QTableWidgetItem(cellValue(row, kColumns[col]));
            item->setToolTip(toolTip(row, kColumns[col]));
            if (col == 5) item->setText(QString::fromUtf8("\u2716"));
            statsTable_->setItem(row, col, item);
        }
    }
}

void GeneralPreferencesViewController::useDidClickToChangeDataDirectory() {
    if (changingDataDirectory()) return;  // one change at a time
    QString chosen = chooseFolder("Choose the data folder");
    if (chosen.isEmpty()) return;
    const QString oldData = WrenUtils::getDataDirectory();
    const QString newData = QDir::cleanPath(chosen) + "/";
    if (QFileInfo(newData).canonicalFilePath() == QFileInfo(oldData).canonicalFilePath()) {
        TEUtils::setUserSetting(newData, "DATA_DIRECTORY");
        return;
    }
    const QString oldTemplates = oldData + "templates";
    auto* progressWindow = ProgressWindowController::sharedPrgoressWindowController();
    const QImage info = QIcon::fromTheme("dialog-information").pixmap(64).toImage();
    const QString copying = QString("Copying the templates to %1...").arg(newData);
    progressWindow->showWindowWithImage(info, copying, 3600);
    if (changeDataDirectoryButton_) changeDataDirectoryButton_->setEnabled(false);
    stopCopy_ = std::make_shared<std::atomic<bool>>(false);
    // Templates may run to gigabytes: the interface goes on meanwhile.
    copyThread_ = std::thread([this, oldTemplates, newData, copying, info, stop = stopCopy_, progressWindow] {
        int shownPercent = 0;
        QString problem;
        const bool copied = WrenUtils::copyDirectoryFrom(
            oldTemplates, newData + "templates", &problem, [&](qint64 done, qint64 total) {
                const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
                if (percent >= shownPercent + 5 && percent < 100) {
                    shownPercent = percent;
                    progressWindow->showWindowWithImage(info, QString("%1 %2%").arg(copying).arg(percent), 3600);
                }
                return !*stop;
            });
        QMetaObject::invokeMethod(
            this, [this, newData, copied, problem] { dataDirectoryCopyDidEnd(newData, copied, problem); },
            Qt::QueuedConnection);
    });
}

void GeneralPreferencesViewController::dataDirectoryCopyDidEnd(const QString& newData, bool copied,
                                                               const QString& problem) {
    if (copyThread_.joinable()) copyThread_.join();  // it has ended
    if (changeDataDirectoryButton_) changeDataDirectoryButton_->setEnabled(true);
    auto* progressWindow = ProgressWindowController::sharedPrgoressWindowController();
    if (!copied) {
        spdlog::error("GeneralPreferences: the data folder stays {}: {}", WrenUtils::getDataDirectory().toStdString(),
                      problem.toStdString());
        progressWindow->showWindowWithErrorImageAndMessage(
            QString("%1 The data folder stays %2.").arg(problem, WrenUtils::getDataDirectory()), 10.0);
        return;
    }
    progressWindow->close();
    TEUtils::setUserSetting(newData, "DATA_DIRECTORY");
    spdlog::info("GeneralPreferences: the data folder is now {}", newData.toStdString());
    TETemplateLibrary::sharedLibrary().userDidChangedDataDirectory();
}

void GeneralPreferencesViewController::resetAllStatsButtonDidClicked() {
    if (!confirm("Are you sure you want reset all sharing stats?")) return;
    if (SharingStatsInfoModel::removeAllSharesExceptPending()) {
        reloadLoadStatsDataFromDB();
    } else {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            "Can't Reset Stats, Please try again.", 3.0);
    }
}

void GeneralPreferencesViewController::cancelAllPendingItemsButtonDidClicked() {
    if (!statsTable_) return;
    auto selected = statsTable_->selectionModel()->selectedRows();
    if (selected.isEmpty()) return;
    int row = selected.first().row();
    auto types = WrenUtils::getAllSharingType();
    if (row < 0 || row >= types.size()) return;
    int type = types[row];
    spdlog::info("StatsInfo: user wants to cancel out all pending items for [{}]",
                 WrenUtils::getSharingTypeMapping()[type].toStdString());
    auto* progress = ProgressWindowController::sharedPrgoressWindowController();
    if (SharingStatsInfoModel::retireAllPendingItemsForSharingType(type)) {
        QImage info = QIcon::fromTheme("dialog-information").pixmap(64).toImage();
        progress->showWindowWithImage(info, "Pending Shares Deleted.", 2.0);
        reloadLoadStatsDataFromDB();
    } else {
        progress->showWindowWithErrorImageAndMessage("Unable to clear pending items.", 5.0);
    }
}

void GeneralPreferencesViewController::viewSharesButtonDidClicked() {
    if (SharingStatsInfoModel::generateCSVOfAllSharing()) {
        revealFile(SharingStatsInfoModel::csvPath());
    } else {
        ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
            "Unable to generate report, please try again.", 5.0);
    }
}

std::optional<GeneralPreferencesViewController::SettingsCommand>
GeneralPreferencesViewController::accessibilitySettingsCommand() {
    const QStringList path = qEnvironmentVariable("PATH").split(':', Qt::SkipEmptyParts);
    if (path.isEmpty()) return std::nullopt;
    const SettingsCommand gnome{"gnome-control-center", {"universal-access"}};
    const SettingsCommand kde{"systemsettings", {"kcm_access"}};
    const bool onKde = qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains("KDE", Qt::CaseInsensitive);
    for (const auto& candidate : onKde ? QList<SettingsCommand>{kde, gnome} : QList<SettingsCommand>{gnome, kde}) {
        QString found = QStandardPaths::findExecutable(candidate.program, path);
        if (!found.isEmpty()) return SettingsCommand{found, candidate.arguments};
    }
    return std::nullopt;
}

void GeneralPreferencesViewController::openAccessibilitySettingsButtonDidClicked() {
    auto command = accessibilitySettingsCommand();
    if (command && QProcess::startDetached(command->program, command->arguments)) return;
    spdlog::error("GeneralPreferences: unable to open the accessibility settings ({})",
                  command ? command->program.toStdString() : std::string("none installed"));
    ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(
        "Unable to open the accessibility settings.", 5.0);
}
