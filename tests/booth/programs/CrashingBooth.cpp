// The booth built for a test: it starts as the application does, then either
// crashes on purpose once its event loop runs, or runs until the reports of
// earlier runs have left the crash kit's report tree.
// Usage: crashing_booth crash|run
#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <map>
#include <string>

#include "booth/AppController.h"
#include "core/UserDefaults.h"
#include "gallery/ManageHTTPServer.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/trellis/Trellis.h"

namespace {

bool treeIsClean() {
    BBXFileManager files;
    auto active = files.activePathContents();
    return files.processingPathContents().empty() && files.preparedPathContents().empty() && active.size() == 1 &&
           active[0] == files.activePath() + "/" + Trellis::sharedSDK().executionIdentifier();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    QApplication app(argc, argv);
    auto& defaults = UserDefaults::standard();
    for (auto key : {"S3EndpointURL", "FlashwrenWebServiceURL", "GlimmerlyAPIURL", "GoogleAnalyticsURL",
                     "SendGridBaseURL", "TwilioBaseURL", "FlashwrenAdminURL"})
        defaults.set(key, "http://127.0.0.1:9");
    ManageHTTPServer::Options gallery;
    gallery.bindAddress = "127.0.0.1";
    gallery.localAddresses = [] { return std::map<std::string, std::string>{}; };
    ManageHTTPServer::setSharedOptions(gallery);

    AppController controller;
    if (!controller.applicationDidFinishLaunching()) return 4;
    if (mode == "crash") {
        QTimer::singleShot(200, [] {
            volatile int* nowhere = nullptr;
            *nowhere = 42;
        });
    } else {
        auto* poll = new QTimer(&app);
        int ticks = 0;
        QObject::connect(poll, &QTimer::timeout, [&] {
            if (treeIsClean() || ++ticks > 400) app.exit(treeIsClean() ? 0 : 3);
        });
        poll->start(25);
    }
    const int status = app.exec();
    controller.applicationWillTerminate();
    return status;
}
