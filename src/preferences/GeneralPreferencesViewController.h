#pragma once
// The General pane: start-up features, the data folder and the share statistics.
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include <QStringList>

#include "core/Models.h"
#include "preferences/PreferencePane.h"

class QPushButton;
class QTableWidget;
class HotPlugPreferences;

class GeneralPreferencesViewController : public PreferencePane {
    Q_OBJECT
public:
    GeneralPreferencesViewController();
    ~GeneralPreferencesViewController() override;

    // Run once at launch, after the camera browser has started.
    static void setupAppStartupFeatures();
    static void updateAutoOpenAppPreferances();
    static void setShouldAutoLaunch(bool flag);
    // The keyboard hint for a toolkit version (none on this platform: "").
    static QString keyboardWarningTextForToolkitVersion(double version);
    // Where the registration is kept; tests replace it.
    static void setHotPlugPreferencesForTesting(HotPlugPreferences* prefs);

    void viewWillAppear() override { reloadLoadStatsDataFromDB(); }
    void perfWindowDidOpended() override { reloadLoadStatsDataFromDB(); }
    void reloadLoadStatsDataFromDB();
    void toggleAutoLaunchAppOnCameraConnect(bool on);
    // Carries the templates over to the chosen folder, away from the
    // interface thread and with its progress on show, and moves the data
    // folder there once they are all there; else the data folder stays and
    // the operator is told why.
    void useDidClickToChangeDataDirectory();
    bool changingDataDirectory() const { return copyThread_.joinable(); }
    void resetAllStatsButtonDidClicked();
    void cancelAllPendingItemsButtonDidClicked();
    void viewSharesButtonDidClicked();

    // The program that opens the desktop's accessibility settings: GNOME's
    // Settings panel or KDE's System Settings module, the running desktop's
    // first, looked up on PATH; none when neither is installed.
    struct SettingsCommand {
        QString program;
        QStringList arguments;
    };
    static std::optional<SettingsCommand> accessibilitySettingsCommand();
    // Opens them, detached; the button is disabled when there are none.
    void openAccessibilitySettingsButtonDidClicked();
    QPushButton* accessibilityButton() const { return accessibilityButton_; }

    QTableWidget* statsTable() const { return statsTable_; }
    const std::map<int, SharingStats>& statsDictionary() const { return statsDictionary_; }
    // Cell text and tool tip of the statistics table by column identifier.
    QString cellValue(int row, const QString& column) const;
    QString toolTip(int row, const QString& column) const;
    // Reveals a file in the file manager; tests replace it.
    std::function<void(const QString& path)> revealFile;

protected:
    void buildView(QWidget* view) override;

private:
    void dataDirectoryCopyDidEnd(const QString& newData, bool copied, const QString& problem);
    void stopDataDirectoryCopy();

    QTableWidget* statsTable_ = nullptr;
    QPushButton* changeDataDirectoryButton_ = nullptr;
    std::thread copyThread_;
    std::shared_ptr<std::atomic<bool>> stopCopy_;
    QPushButton* accessibilityButton_ = nullptr;
    std::map<int, SharingStats> statsDictionary_;
};
