// A program built with the crash kit, as an application uses it: it starts
// the kit with its API key, then either dies the way it is told to or runs
// until the reports of earlier runs have left the report tree.
// Usage: blackbox_kit_program segv|abort|throw|launchsegv|callbackthrows|run|late
// "launchsegv" dies before the first turn of the main queue (during launch);
// "run" asks the settings endpoint for "/started" as soon as the kit's start
// returns, so a server sees what the start sent before it; "late" starts
// through the deprecated delayed calls with a delegate of the older kind,
// then changes debug mode and the delegate after the start;
// "callbackthrows" aborts, and its crash callback, the application's, throws:
// a second crash on the thread that is recording the first.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/Executor.h"
#include "base/Http.h"
#include "kits/blackbox/BBXCrashReportingController.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/Blackbox.h"
#include "kits/trellis/Trellis.h"

namespace {

base::ManualExecutor mainQueue;

void pump(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        mainQueue.runPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Nothing but this run's own directory is left, and those of other copies
// (running now, or ended without a crash to send).
bool treeIsClean() {
    BBXFileManager files;
    const std::string own = files.activePath() + "/" + Trellis::sharedSDK().executionIdentifier();
    bool ownFound = false;
    for (const auto& path : files.activePathContents()) {
        if (path == own)
            ownFound = true;
        else if (!BBXReportDirectoryIsLive(path)) {
            auto report = BBXInternalReport::reportWithPath(path);
            if (report && report->needsToBeSubmitted()) return false;
        }
    }
    return ownFound && files.processingPathContents().empty() && files.preparedPathContents().empty();
}

constexpr const char* kAPIKey = "0123456789abcdef0123456789abcdef01234567";

struct OlderDelegate : BlackboxDelegate {
    bool implementsDidDetectCrashDuringPreviousExecution() const override { return true; }
};

struct ThrowingDelegate : BlackboxDelegate {
    bool implementsDidDetectCrash() const override { return true; }
    void blackboxDidDetectCrash(Blackbox&) override { throw std::runtime_error("the crash callback failed too"); }
};

int startLate() {
    Blackbox& kit = Blackbox::startWithAPIKey(kAPIKey, std::make_shared<OlderDelegate>(), 30.0);
    std::printf("started at once: %s\n", kit.isBlackboxStarted() ? "yes" : "no");
    Blackbox::startWithAPIKey(kAPIKey, 30.0);
    pump(std::chrono::milliseconds(100));
    kit.setDebugMode(false);
    std::printf("debug mode: %s\n", kit.debugMode() ? "yes" : "no");
    kit.setDelegate(nullptr);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    mainQueue.adoptCurrentThread();
    Blackbox::setMainQueue(&mainQueue);
    if (mode == "late") return startLate();
    if (mode == "callbackthrows")
        Blackbox::startWithAPIKey(kAPIKey, std::make_shared<ThrowingDelegate>());
    else
        Blackbox::startWithAPIKey(kAPIKey);
    if (mode == "launchsegv") {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    if (const char* endpoint = std::getenv("SettingsEndpoint"); endpoint && mode == "run") {
        base::HttpRequest started;
        started.url = std::string(endpoint) + "/started";
        started.timeoutSeconds = 5;
        base::httpPerform(started);
    }
    pump(std::chrono::milliseconds(100));
    if (mode == "segv") {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    } else if (mode == "abort" || mode == "callbackthrows") {
        std::abort();
    } else if (mode == "throw") {
        throw std::runtime_error("the booth ran out of paper");
    }
    for (int i = 0; i < 1000 && !treeIsClean(); ++i) pump(std::chrono::milliseconds(10));
    pump(std::chrono::milliseconds(100));
    std::printf("%s\n", treeIsClean() ? "clean" : "not clean");
    return treeIsClean() ? 0 : 3;
}
