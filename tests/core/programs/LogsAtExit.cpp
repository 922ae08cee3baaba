// A program that is still logging while it exits: a shared timer keeps
// posting to the main queue, which has no application object to take the
// task and says so, while the process tears its statics down.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/Log.h"
#include "base/Scheduler.h"
#include "core/MainQueue.h"

namespace {
// Registered before the logging is set up, so it runs after the logging's
// own teardown; the timer goes on firing meanwhile.
void lingerAtExit() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}
}  // namespace

int main(int argc, char** argv) {
    std::atexit(lingerAtExit);
    base::setupLogging(argc > 1 ? argv[1] : "");
    base::Scheduler::shared().every(std::chrono::milliseconds(1), &MainQueue::shared(), [] {});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    spdlog::info("LogsAtExit: exiting");
    return 0;
}
