#pragma once
// The application controller: runs the start-up in order, drives the screen
// cycle (home, session, final screen, home), reacts to the program's
// notifications and tidies up on quit.
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <memory>
#include <string>
#include <vector>

#include "base/NotificationCenter.h"
#include "booth/MainWindow.h"
#include "booth/WrenTabItem.h"

class GreenScreenWindowController;

class AppController : public QObject, public BoothScreensDelegate, public MainContentViewDelegate {
    Q_OBJECT
public:
    enum class Screen { Home, Session, Sharing };

    AppController();
    ~AppController() override;

    // The start-up; false when the booth cannot run here (the reason was
    // shown to the operator).
    bool applicationDidFinishLaunching();
    // Empties "Temp" and "incoming", stops the camera browser and
    // disconnects the camera.
    void applicationWillTerminate();
    // The orderly quit (Ctrl+Q, the desktop's quit signals): emits
    // quitRequested, which the application turns into its quit.
    void requestQuit();
    // Another launch asked for this booth: its window comes to the front.
    void bringWindowForward();

    MainWindow* mainWindow() const { return window_.get(); }
    Screen currentScreen() const { return screen_; }

    // A session as a guest starts it; false (with a message) when the booth
    // cannot start one now.
    bool startSession(const QStringList& droppedFiles = {});

    // BoothScreensDelegate
    void screenDidFinish(WrenTabItem* screen) override;
    void screenDidFail(WrenTabItem* screen, const QString& message) override;
    void userDidRequestSession(const QStringList& droppedFiles) override;
    // MainContentViewDelegate
    void contentViewDidReceiveDroppedFiles(const QStringList& paths) override;

    static void showMessage(const QString& message, double seconds = 4.0);

    // The operator's green-screen window (Ctrl+G); refused while a session runs.
    void openGreenScreenWindow();
    GreenScreenWindowController* greenScreenWindow() const { return greenScreenWindow_.get(); }

signals:
    void quitRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The preferences or the green-screen window, while one shows.
    QWidget* openOperatorWindow() const;
    // Start-up steps, in the order they run.
    void startCrashReporting();
    bool setUpLogging();
    void openDatabase();
    void openDatabaseLater();
    // Prints of earlier runs without a row get one, and their uploads start.
    void recordPrintsWithoutRows();
    void becomeScreensDelegate();
    void setUpDataFolders();
    void registerDefaults();
    void createTemplateLibrary();
    void showHomeScreen();
    void startSharingServices();
    void loadSelectedTemplate();
    void subscribeToNotifications();
    void startGalleryServer();
    void setUpInstallation();
    void startReachability();
    void startCamera();
    void scheduleLateStartUp();

    void warnIfDiskSpaceIsLow(bool atSessionStart = false);
    void selectScreen(Screen screen);
    void goHome();
    bool greenScreenBackgroundsAvailable() const;

    void presentBackgroundChooserIfNeeded();

    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<GreenScreenWindowController> greenScreenWindow_;
    Screen screen_ = Screen::Home;
    bool terminated_ = false;
    QString startUpProblem_;
    std::string databaseProblem_;  // the reason last logged while the database does not open
    static constexpr int kDatabaseRetryMs = 1000;
    QDateTime launched_;  // prints written after this are this run's
    QElapsedTimer lowSpaceWarned_;
    static constexpr qint64 kLowSpaceWarningIntervalMs = 10 * 60 * 1000;
    std::vector<base::NotificationCenter::ObserverId> observers_;
    std::vector<std::uint64_t> settingsObservers_;
};
