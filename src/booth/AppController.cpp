#include "booth/AppController.h"

#include <QApplication>
#include <QGuiApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QPointer>
#include <QShortcut>
#include <QStyleHints>
#include <QTimer>
#include <QWindow>

#include "base/AppInfo.h"
#include "base/Files.h"
#include "base/Log.h"
#include "booth/BackgroundTask.h"
#include "booth/BoothPlatformUserDefaults.h"
#include "booth/CrashReportPrompt.h"
#include "booth/HomeScreenTabItem.h"
#include "booth/SessionScreenTabItem.h"
#include "booth/ShareWindowButtons.h"
#include "booth/SocialShareButtons.h"
#include "booth/SharingScreenTabItem.h"
#include "booth/WebViewErrorMonitor.h"
#include "camera/CameraErrors.h"
#include "camera/CameraManager.h"
#include "core/Database.h"
#include "core/KeptRows.h"
#include "core/MainQueue.h"
#include "core/MediaItemHelper.h"
#include "core/Notifications.h"
#include "core/OperatorNotice.h"
#include "core/PhotoSession.h"
#include "core/ProgressWindowController.h"
#include "core/Reachability.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"
#include "greenscreen/BackgroundImage.h"
#include "kits/blackbox/BBXApplication.h"
#include "kits/blackbox/Blackbox.h"
#include "kits/tally/Tally.h"
#include "greenscreen/GreenScreenWindowController.h"
#include "preferences/GeneralPreferencesViewController.h"
#include "preferences/Preferences.h"
#include "preferences/ValueTransformers.h"
#include "sharing/Analytics.h"
#include "sharing/LoginWebView.h"
#include "gallery/ManageHTTPServer.h"
#include "sharing/RetryUploadToS3Service.h"
#include "sharing/SocialSharingService.h"
#include "sharing/WrenS3Manager.h"
#include "templates/ImageUtils.h"
#include "templates/TETemplateLibrary.h"

namespace {
// The major version of this Debian system, 0 when it is not Debian.
int debianMajorVersion() {
    QFile file(QStringLiteral("/etc/os-release"));
    if (!file.open(QIODevice::ReadOnly)) return 0;
    bool debian = false;
    int version = 0;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line == QLatin1String("ID=debian")) debian = true;
        if (line.startsWith(QLatin1String("VERSION_ID=")))
            version = line.mid(11).remove(QLatin1Char('"')).section(QLatin1Char('.'), 0, 0).toInt();
    }
    return debian ? version : 0;
}
}  // namespace

AppController::AppController() = default;

AppController::~AppController() {
    for (auto id : observers_) base::NotificationCenter::defaultCenter().removeObserver(id);
    for (auto id : settingsObservers_) UserDefaults::standard().unobserve(id);
}

void AppController::showMessage(const QString& message, double seconds) {
    ProgressWindowController::sharedPrgoressWindowController()->showWindowWithErrorImageAndMessage(message, seconds);
}

bool AppController::applicationDidFinishLaunching() {
    launched_ = QDateTime::currentDateTime();
    // The log first: the kits' threads log from the moment they start, and
    // the default logger must not be swapped under them.
    if (!setUpLogging()) return false;     // 1
    startCrashReporting();                 // 2
    openDatabase();                        // 3
    becomeScreensDelegate();               // 4
    setUpDataFolders();                    // 5
    registerDefaults();                    // 6
    createTemplateLibrary();               // 7
    showHomeScreen();                      // 8
    startSharingServices();                // 9
    loadSelectedTemplate();                // 10
    subscribeToNotifications();            // 11
    startGalleryServer();                  // 12
    setUpInstallation();                   // 13
    startReachability();                   // 14
    startCamera();                         // 15
    scheduleLateStartUp();                 // 16
    spdlog::info("AppController: start-up done");
    return true;
}

namespace {
// The application's key at the crash service.
constexpr const char* kBlackboxAPIKey = "3f9c2a7e5b1d4c8f6a0e2b9d7c5a3f1e8b6d4c2a";

// The booth's application object as the crash kit asks after it.
class BoothSharedApplication : public BBXSharedApplication {
public:
    bool crashOnExceptions() const override {
        return UserDefaults::standard().boolean("NSApplicationCrashOnExceptions");
    }
};
}  // namespace

void AppController::startCrashReporting() {
    UserDefaults::standard().registerDefaults({{"NSApplicationCrashOnExceptions", true}});
    static BoothSharedApplication application;
    BBXApplicationSetSharedApplication(&application);
    Blackbox::setMainQueue(&MainQueue::shared());
    Blackbox::setPermissionPrompt(&CrashReportPrompt::shared());
    // Values the kits once kept among the booth's settings move to their own store.
    BBXUserDefaults::setPlatformUserDefaults(&BoothPlatformUserDefaults::shared());
    Blackbox::startWithAPIKey(kBlackboxAPIKey);
    // Script errors in the log-in pages are recorded by the crash kit too.
    LoginWebView::setPageSetup([](QWebEnginePage* page) { WebViewErrorMonitor::monitorErrorsForWebPage(page); });
    // The kits hear when the booth comes to the front and leaves it.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [](Qt::ApplicationState state) {
        auto& center = base::NotificationCenter::defaultCenter();
        if (state == Qt::ApplicationActive) {
            center.post("NSApplicationWillBecomeActiveNotification");
            Tally::applicationDidBecomeActive();
        } else {
            center.post("NSApplicationDidResignActiveNotification");
            Tally::applicationWillResignActive();
        }
    });
}

bool AppController::setUpLogging() {
    const std::string logProblem = base::setupLogging(base::dataHome() + "/Flashwren/Logs");
    if (!logProblem.empty()) {
        OperatorNotice::shared().post(
            QStringLiteral("AppController.log"),
            QStringLiteral("The log cannot be written: %1. Please remove what is in the way or make the folder "
                           "writable, then start Flashwren again.")
                .arg(QString::fromStdString(logProblem)));
    }
    auto& info = base::AppInfo::shared();
    spdlog::info("AppController: {} {} ({}) starting", info.name(), info.shortVersion(), info.buildVersion());
    const int minimum = QString::fromStdString(info.string("LSMinimumSystemVersion")).section('.', 0, 0).toInt();
    const int system = debianMajorVersion();
    if (system > 0 && minimum > 0 && system < minimum) {
        spdlog::error("AppController: Debian {} is below the minimum {}", system, minimum);
        WrenUtils::showAlertWithMessage(QStringLiteral("Flashwren needs a newer system."),
                                        QStringLiteral("Please run it on Debian %1 or later.").arg(minimum), 2);
        return false;
    }
    ImageUtils::allowLargeImages();
    return true;
}

namespace {
const QString kDatabaseNotice = QStringLiteral("AppController.database");
std::string migrationsDir() { return base::AppInfo::shared().resourcesDir() + "/migrations"; }
}  // namespace

void AppController::openDatabase() {
    // Another program's lock is not waited for here: the booth starts at
    // once, says so, and opens the database in the background as soon as
    // it can, however long that takes.
    const bool opened = WrenDatabase::openShared(WrenDatabase::defaultPath(), migrationsDir(), 0);
    // Shares an earlier run kept and could not record are recorded as soon
    // as the database takes them.
    KeptRows::restoreKept();
    if (opened) return;
    databaseProblem_ = WrenDatabase::shared().lastError();
    spdlog::error("AppController: unable to open the database, trying again until it opens: {}", databaseProblem_);
    OperatorNotice::shared().post(
        kDatabaseNotice, QStringLiteral("Unable to open the database. Prints are still saved in the data folder."));
    openDatabaseLater();
}

void AppController::openDatabaseLater() {
    if (terminated_) return;
    // The wait for the lock happens off the interface thread, on a connection
    // of its own; the shared one is opened here once the file is free.
    const std::string path = WrenDatabase::defaultPath();
    runInBackground(
        this, [path] { return WrenDatabase::canOpen(path, 1000); },
        [this](bool free) {
            if (terminated_) return;
            // Still locked: that was said already.
            if (!free || !WrenDatabase::openShared(WrenDatabase::defaultPath(), migrationsDir(), 0)) {
                const std::string why = free ? WrenDatabase::shared().lastError() : databaseProblem_;
                if (why != databaseProblem_) {
                    databaseProblem_ = why;
                    spdlog::error("AppController: still unable to open the database: {}", why);
                }
                QTimer::singleShot(kDatabaseRetryMs, this, [this] { openDatabaseLater(); });
                return;
            }
            spdlog::info("AppController: the database is open now");
            databaseProblem_.clear();
            OperatorNotice::shared().withdraw(kDatabaseNotice);
            // What the start-up read from the database, read now; what this
            // run made meanwhile is stored now.
            MediaItemHelper::loadAllMediaItems();
            runInBackground(this, [] { return RetryUploadToS3Service::markInterruptedUploadsFailed(); }, [](int) {});
            runInBackground(this, [] { return KeptRows::storeAll(); }, [](bool) {});
            recordPrintsWithoutRows();
        });
}

void AppController::recordPrintsWithoutRows() {
    if (terminated_) return;
    const QString prints = WrenUtils::getPrintsFolderPath();
    const QDateTime before = launched_;
    runInBackground(
        this, [prints, before] { return MediaItemHelper::recordPrintsWithoutRows(prints, before); },
        [this](std::optional<std::vector<std::shared_ptr<MediaItemModel>>> made) {
            if (terminated_) return;
            if (!made) {
                // The table cannot be read now (another program holds it).
                QTimer::singleShot(kDatabaseRetryMs, this, [this] { recordPrintsWithoutRows(); });
                return;
            }
            for (auto& item : *made) MediaItemHelper::startUpload(item);
        });
}

void AppController::becomeScreensDelegate() {
    window_ = std::make_unique<MainWindow>();
    window_->homeScreen()->setDelegate(this);
    window_->sessionScreen()->setDelegate(this);
    window_->sharingScreen()->setDelegate(this);
    window_->contentView()->setDelegate(this);
    auto* greenScreen = new QShortcut(QKeySequence(QStringLiteral("Ctrl+G")), window_.get());
    connect(greenScreen, &QShortcut::activated, this, &AppController::openGreenScreenWindow);
    auto* quit = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Q")), window_.get());
    quit->setObjectName(QStringLiteral("QuitShortcut"));
    quit->setContext(Qt::ApplicationShortcut);  // from the operator's windows too
    connect(quit, &QShortcut::activated, this, &AppController::requestQuit);
    // A dialog keeps every other window's shortcuts from its keys, the
    // quit key included: it is heard in dialogs here.
    qApp->installEventFilter(this);
    // A tap beside a window open over the main one (the operator's, a
    // guest's share or log-in window) starts nothing, and the keys stay with
    // that window: the platform hands them to the window tapped, where
    // Escape and Ctrl+W would no longer close it. What is open comes back
    // over the main window as it was, a progress line included.
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focus) {
        if (!window_ || focus != window_->windowHandle() || QApplication::activeModalWidget()) return;
        QTimer::singleShot(0, window_.get(), [this] {
            if (QGuiApplication::focusWindow() != window_->windowHandle()) return;
            // Asked of the X server whatever Qt believes by then.
            if (QWindow* keys = window_->raiseOpenWindows()) keys->requestActivate();
        });
    });
    connect(window_.get(), &MainWindow::windowWillClose, qApp, &QApplication::quit);
    connect(window_.get(), &MainWindow::fullScreenChanged, this,
            [](bool full) { spdlog::info("AppController: full screen {}", full ? "on" : "off"); });
}

void AppController::setUpDataFolders() {
    // Also publishes the prints folder (PHOTO_FOLDER_PATH) for the gallery.
    // Said once the main window shows, so that it is not hidden behind it.
    if (!WrenUtils::setupFoldersAtStartup(&startUpProblem_) && startUpProblem_.isEmpty())
        startUpProblem_ = WrenUtils::folderProblemMessage(WrenUtils::getDataDirectory());
}

void AppController::registerDefaults() {
    // The registered defaults come with the settings store itself; here the
    // controller starts following the settings that change its screens.
    auto& defaults = UserDefaults::standard();
    for (const char* key : {"LiveViewEnabled", "trigger_camera"}) {
        settingsObservers_.push_back(defaults.observe(
            key, [](const std::string& changed) { spdlog::info("AppController: {} changed", changed); },
            &MainQueue::shared()));
    }
    for (const char* key : {"START_TEXT", "BACKGROUND_IMAGE", "HOME_SCREEN_BACKGROUND", "BACKGROUND_TYPE_SELECTION"}) {
        settingsObservers_.push_back(defaults.observe(
            key,
            [this](const std::string&) {
                if (window_) window_->homeScreen()->refresh();
            },
            &MainQueue::shared()));
    }
}

void AppController::createTemplateLibrary() {
    TETemplateLibrary::sharedLibrary().installShippedTemplates();
    if (TETemplateLibrary::sharedLibrary().templates().isEmpty())
        showMessage(QStringLiteral("No template found in %1.").arg(WrenUtils::getTemplatesFolderPath()), 6);
}

void AppController::showHomeScreen() {
    selectScreen(Screen::Home);
    window_->show();
    if (!startUpProblem_.isEmpty()) {
        showMessage(startUpProblem_, 6);
    } else {
        warnIfDiskSpaceIsLow();
    }
}

void AppController::startSharingServices() {
    MediaItemHelper::loadAllMediaItems();
    WrenS3Manager::installAsUploadStarter();
    RetryUploadToS3Service::initS3RetryService();
    SocialSharingService::initSocialSharingService();
    if (WrenDatabase::shared().isOpen()) recordPrintsWithoutRows();
    Analytics::sharedAnalytics();
    ShareWindowButtons::install(window_->sharingScreen());
    SocialShareButtons::install(window_->sharingScreen());
    // The log-in windows' web profiles are what clearing cookies and cache
    // empties, so one guest's sign-in never reaches the next.
    WrenUtils::setClearHTTPCookiesAndCacheHook(&LoginWebView::clearCookiesAndCache);
}

void AppController::loadSelectedTemplate() {
    QString error;
    if (!TETemplateLibrary::sharedLibrary().loadSelectedTemplate(&error)) {
        spdlog::error("AppController: {}", error.toStdString());
        showMessage(QStringLiteral("Unable to load the selected template. %1").arg(error), 6);
    }
}

void AppController::subscribeToNotifications() {
    auto& center = base::NotificationCenter::defaultCenter();
    auto* main = &MainQueue::shared();
    observers_.push_back(center.addObserver(kShowMessageNotification, nullptr, main, [](const base::Notification& n) {
        const int* code = n.get<int>("MessageCode");
        showMessage(CameraErrors::messageForCode(code ? *code : CameraMessageUnknown));
    }));
    observers_.push_back(
        center.addObserver(kConnectedCameraDidRemovedNotification, nullptr, main, [this](const base::Notification&) {
            spdlog::warn("AppController: the camera was removed");
            if (screen_ == Screen::Session) {
                window_->sessionScreen()->cleanUp();
                goHome();
            }
        }));
    observers_.push_back(
        center.addObserver(kUseDidPressedToStartSessionNotification, nullptr, main,
                           [this](const base::Notification&) { startSession(); }));
    observers_.push_back(center.addObserver(kFinishSendingEmailNotification, nullptr, main,
                                            [](const base::Notification&) {
                                                spdlog::info("AppController: e-mail sending finished");
                                            }));
    observers_.push_back(center.addObserver(kGreenScreenWindowDidClosed, nullptr, main,
                                            [this](const base::Notification&) {
                                                if (!window_) return;
                                                window_->homeScreen()->refresh();
                                                presentBackgroundChooserIfNeeded();
                                            }));
}

void AppController::startGalleryServer() {
    // The gallery reports its start through the booth's usage tracking; it
    // does not know the sharing layer itself.
    ManageHTTPServer::setSharedTrackEvent([](const std::string& category, const std::string& action) {
        Analytics::trackEventWithCategory(QString::fromStdString(category), QString::fromStdString(action), {}, {});
    });
    ManageHTTPServer::initHTTPServer();
}

void AppController::setUpInstallation() {
    WrenUtils::makeFirstLaunchSettings();
    registerAudioValueTransformers();
}

void AppController::startReachability() {
    Reachability::shared()->start();
}

void AppController::startCamera() {
    CameraManager::sharedCameraManager().startCameraBrowser();
    GeneralPreferencesViewController::setupAppStartupFeatures();
}

void AppController::scheduleLateStartUp() {
    QTimer::singleShot(1000, this, [this] {
        if (WrenUtils::checkIFOpenGLIsSupported()) presentBackgroundChooserIfNeeded();
    });
    PhotoSession::resetPrintsThisRun();
}

void AppController::applicationWillTerminate() {
    if (terminated_) return;
    terminated_ = true;
    OperatorNotice::shared().withdraw(kDatabaseNotice);
    spdlog::info("AppController: quitting");
    Tally::applicationWillTerminate();
    // A usage hit still on its way is sent or kept before the program ends
    // (each gives up on the network within seconds).
    if (!GoogleTracker::sharedGoogleTracker().waitForPendingHits(std::chrono::seconds(12)))
        spdlog::warn("AppController: usage hits still unsent at quit");
    if (greenScreenWindow_) greenScreenWindow_->close();
    if (window_) window_->sessionScreen()->cleanUp();
    // Rows still waiting for the database get a last try; shares still
    // refused are on disk for the next start (a print's row is made again
    // from its file).
    KeptRows::storeOrKeepAtQuit();
    WrenUtils::emptyDirectoryAtPath(WrenUtils::getTempFolderPath());
    // The last session's working copies: the originals and prints are kept
    // elsewhere, and the next session would empty it anyway.
    WrenUtils::emptyDirectoryAtPath(WrenUtils::getIncomingFolderPath());
    auto& camera = CameraManager::sharedCameraManager();
    camera.setDelegate(nullptr);
    camera.stopCameraBrowser();
    camera.disconnectCamera();
    // Settings reach the disk a moment after they change; what changed in
    // that last moment must not be lost at quit.
    UserDefaults::standard().synchronize();
}

void AppController::warnIfDiskSpaceIsLow(bool atSessionStart) {
    // A few sessions' worth must be free; below that the operator hears of
    // it before the disk fills up in the middle of a session. At a session's
    // start the warning covers the guest's countdown: not every session.
    const QString warning = WrenUtils::lowDiskSpaceWarning();
    if (warning.isEmpty()) return;
    if (atSessionStart && lowSpaceWarned_.isValid() && lowSpaceWarned_.elapsed() < kLowSpaceWarningIntervalMs) return;
    lowSpaceWarned_.start();
    spdlog::warn("AppController: {}", warning.toStdString());
    showMessage(warning, atSessionStart ? 3 : 6);
}

void AppController::requestQuit() {
    if (terminated_) return;
    spdlog::info("AppController: quit requested");
    emit quitRequested();
}

bool AppController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && QApplication::activeModalWidget()) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->keyCombination() == QKeyCombination(Qt::ControlModifier, Qt::Key_Q)) {
            if (!key->isAutoRepeat()) requestQuit();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

QWidget* AppController::openOperatorWindow() const {
    if (QWidget* preferences = Preferences::shownWindow()) return preferences;
    if (greenScreenWindow_ && greenScreenWindow_->isVisible()) return greenScreenWindow_.get();
    return nullptr;
}

void AppController::bringWindowForward() {
    if (!window_) return;
    spdlog::info("AppController: another launch asked for this booth; bringing its window forward");
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->show();
    window_->raise();
    // The main window must not cover what is open over it: an operator's
    // window and its panel or dialog (a dialog blocks the main window, and
    // covered it would leave a touch-only booth with nothing to tap), or a
    // guest's share or log-in window half typed in.
    QWindow* keys = window_->raiseOpenWindows();
    if (keys) keys->requestActivate();
    else window_->activateWindow();
}

void AppController::selectScreen(Screen screen) {
    // The second tap of a double tap on the final screen's last button
    // would land on the home screen and start a session for nobody.
    if (screen == Screen::Home && screen_ == Screen::Sharing)
        window_->homeScreen()->holdTaps(QGuiApplication::styleHints()->mouseDoubleClickInterval());
    screen_ = screen;
    switch (screen) {
    case Screen::Home:
        window_->homeScreen()->refresh();
        presentBackgroundChooserIfNeeded();
        window_->selectScreen(window_->homeScreen());
        break;
    case Screen::Session: window_->selectScreen(window_->sessionScreen()); break;
    case Screen::Sharing: window_->selectScreen(window_->sharingScreen()); break;
    }
}

void AppController::goHome() {
    selectScreen(Screen::Home);
}

bool AppController::greenScreenBackgroundsAvailable() const {
    // With green screen on, a session needs backgrounds.
    if (UserDefaults::standard().integer(kGreenScreenOnKey, 2) == 2) return true;
    return !storedBackgroundEntries().empty();
}

void AppController::presentBackgroundChooserIfNeeded() {
    if (!window_ || screen_ != Screen::Home) return;
    window_->homeScreen()->presentBackgroundChooserIfNeeded();
}

void AppController::openGreenScreenWindow() {
    if (screen_ != Screen::Home) {
        showMessage(QStringLiteral("Please wait till photo session finishes."), 3.0);
        return;
    }
    if (!greenScreenWindow_) greenScreenWindow_ = std::make_unique<GreenScreenWindowController>();
    greenScreenWindow_->setCameraManager(&CameraManager::sharedCameraManager());
    greenScreenWindow_->show();
    greenScreenWindow_->raise();
    greenScreenWindow_->activateWindow();
}

bool AppController::startSession(const QStringList& droppedFiles) {
    if (screen_ != Screen::Home) {
        spdlog::info("AppController: a session is already running");
        return false;
    }
    // The operator is at work: a tap beside the window, or Space, is no guest.
    if (openOperatorWindow()) {
        spdlog::info("AppController: no session while an operator's window is open");
        return false;
    }
    auto& camera = CameraManager::sharedCameraManager();
    if (droppedFiles.isEmpty() && !camera.isDeviceReadyForNewSession()) {
        showMessage(CameraErrors::messageForCode(camera.cameraModel() ? CameraMessageNotReady : CameraMessageNoCamera));
        return false;
    }
    if (!greenScreenBackgroundsAvailable()) {
        showMessage(QStringLiteral("\t\tNo Green Screen Backgrounds.\nPlease specify green screen backgrounds."));
        return false;
    }
    // The data folder may have gone (a removed drive): make it again or say so.
    QString problem;
    if (!WrenUtils::createDataSubfolders(&problem)) {
        showMessage(problem, 6);
        return false;
    }
    if (WrenUtils::isDiskFull(WrenUtils::getDataDirectory())) {
        spdlog::error("AppController: no session, the data folder's disk is full");
        showMessage(WrenUtils::diskFullMessage(WrenUtils::getDataDirectory()), 6);
        return false;
    }
    warnIfDiskSpaceIsLow(true);
    window_->homeScreen()->hideBackgroundChooser();
    selectScreen(Screen::Session);
    window_->sessionScreen()->startSession(droppedFiles);
    return true;
}

void AppController::userDidRequestSession(const QStringList& droppedFiles) {
    // With green screen on, the guest first chooses a background (or, with
    // backgrounds taken in turn, the chooser asks for the session at once).
    if (droppedFiles.isEmpty() && screen_ == Screen::Home && !openOperatorWindow() &&
        UserDefaults::standard().integer(kGreenScreenOnKey, 2) != 2 && WrenUtils::checkIFOpenGLIsSupported()) {
        window_->homeScreen()->presentBackgroundChooser();
        return;
    }
    startSession(droppedFiles);
}

void AppController::contentViewDidReceiveDroppedFiles(const QStringList& paths) {
    if (screen_ != Screen::Home) return;
    // Reading the files' headers may be slow (a network folder): off the
    // interface thread.
    runInBackground(
        this,
        [paths] {
            std::pair<QStringList, QStringList> sorted;  // images, rejected names
            for (const QString& path : paths) {
                QImageReader reader(path);
                if (QFileInfo(path).isFile() && reader.canRead()) {
                    sorted.first << path;
                } else {
                    sorted.second << QFileInfo(path).fileName();
                }
            }
            return sorted;
        },
        [this](std::pair<QStringList, QStringList> sorted) {
            const auto& [images, rejected] = sorted;
            if (!rejected.isEmpty()) {
                spdlog::warn("AppController: dropped files that are not images: {}",
                             rejected.join(", ").toStdString());
                showMessage(QStringLiteral("Not an image: %1").arg(rejected.join(QStringLiteral(", "))));
            }
            if (!images.isEmpty()) startSession(images);
        });
}

void AppController::screenDidFinish(WrenTabItem* screen) {
    if (screen == window_->sessionScreen()) {
        window_->sessionScreen()->cleanUp();
        selectScreen(Screen::Sharing);
        window_->sharingScreen()->showSession();
    } else if (screen == window_->sharingScreen()) {
        window_->sharingScreen()->cleanUp();
        goHome();
    }
}

void AppController::screenDidFail(WrenTabItem* screen, const QString& message) {
    if (!message.isEmpty()) showMessage(message);
    if (screen == window_->sessionScreen()) window_->sessionScreen()->cleanUp();
    if (screen == window_->sharingScreen()) window_->sharingScreen()->cleanUp();
    goHome();
}
