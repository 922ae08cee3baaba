#include "booth/FlashwrenMain.h"

#include <QApplication>
#include <QFile>

#include <filesystem>

#include <malloc.h>

#include "base/AppInfo.h"
#include "base/Files.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "booth/AppController.h"
#include "booth/QuitSignals.h"
#include "booth/SingleBooth.h"
#include "core/WrenUtils.h"

namespace {

// The booth's own folder holds its lock, its database and its log. Anything
// else in its place (a file, a named pipe, a link to nothing) would leave the
// booth running with none of them: it is set aside, kept for whoever wants
// to look at it, and the folder made. Said before the log opens; the log
// file gets the line.
void makeBoothFolder(const QString& folder) {
    const std::string path = QFile::encodeName(folder).toStdString();
    if (const auto why = base::whyNotAFolder(path)) {
        const std::string aside = base::setAside(path);
        if (aside.empty())
            spdlog::error("AppController: the booth's folder {} cannot be used because {}, and it cannot be set aside",
                          path, *why);
        else
            spdlog::warn("AppController: the booth's folder {} was set aside as {} because {}", path, aside, *why);
    }
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) spdlog::error("AppController: unable to create the booth's folder {}: {}", path, ec.message());
}

}  // namespace

void returnLargeBlocksWhenFreed() {
    // Fixing the threshold also stops the library from raising it (and its
    // trim threshold with it) each time such a block is freed. A megabyte:
    // every frame, photo and print is larger; what is smaller stays pooled.
    if (mallopt(M_MMAP_THRESHOLD, 1 << 20) != 1)
        spdlog::warn("AppController: unable to set the allocator's threshold for blocks of their own");
}

int flashwrenMain(int argc, char** argv, const std::function<void()>& prepare) {
    returnLargeBlocksWhenFreed();
    // Touch-screen booths type on Qt's on-screen keyboard, where installed;
    // the input method is chosen as the application object is made.
    WrenUtils::selectVirtualKeyboard();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromStdString(base::AppInfo::shared().name()));
    QApplication::setApplicationVersion(QString::fromStdString(base::AppInfo::shared().shortVersion()));
    if (prepare) prepare();
    // Once the booth has quit no shared timer fires: one going off while the
    // process tears its statics down would find them gone.
    struct StopTimersAtQuit {
        ~StopTimersAtQuit() { base::Scheduler::shared().stop(); }
    } stopTimers;

    // Before anything touches the database, the settings or the network: a
    // second booth on the same data would share all of them.
    makeBoothFolder(SingleBooth::defaultFolder());
    SingleBooth single;
    if (!single.acquire(SingleBooth::defaultFolder())) {
        base::setupLogging(base::dataHome() + "/Flashwren/Logs");
        if (single.broughtForward()) {
            spdlog::info("AppController: Flashwren is already running for this user; brought its window forward");
            return 0;
        }
        // Never said to have come forward when nothing answered.
        spdlog::error("AppController: another process holds this user's booth lock in {} but no booth answers; "
                      "not starting a second booth on the same data",
                      SingleBooth::defaultFolder().toStdString());
        return 1;
    }
    // From here on the desktop's quit signals take the orderly path.
    QuitSignals quitSignals;

    AppController controller;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &controller, [&controller] { controller.requestQuit(); });
    QObject::connect(&controller, &AppController::quitRequested, &app, &QApplication::quit, Qt::QueuedConnection);
    if (!controller.applicationDidFinishLaunching()) return 1;
    QObject::connect(&single, &SingleBooth::activationRequested, &controller, &AppController::bringWindowForward);
    QObject::connect(&app, &QApplication::aboutToQuit, &controller, [&controller] {
        controller.applicationWillTerminate();
    });
    const int status = app.exec();
    controller.applicationWillTerminate();  // once: a no-op after aboutToQuit
    return status;
}
