#pragma once
// Shared set-up of the sharing tests: a temporary home with its own settings
// and database, a pumped main queue, a manual clock, and the real peers
// (python's standard parsers, the S3-compatible server).
#include <nlohmann/json.hpp>
#include <gtest/gtest.h>

#include <QApplication>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "TempDir.h"
#include "base/AppInfo.h"
#include "core/Database.h"
#include "core/MediaItemHelper.h"
#include "core/UserDefaults.h"
#include "sharing/FlashwrenSharingBase.h"
#include "sharing/ShareWindows.h"
#include "sharing/SharingRuntime.h"

inline QApplication& testApp() {
    static int argc = 1;
    static char name[] = "test_sharing";
    static char* argv[] = {name, nullptr};
    static QApplication* app = qApp ? static_cast<QApplication*>(qApp) : new QApplication(argc, argv);
    return *app;
}

// Records a sharing service's outcomes in order.
struct SharingOutcomes : FlashwrenSharingBaseDelegate {
    std::vector<std::string> events;
    void sharingWillStartFor(const QString& s) override { events.push_back("start " + s.toStdString()); }
    void sharingDidFinishedFor(const QString& s, const QString& m) override {
        events.push_back("finished " + s.toStdString() + ": " + m.toStdString());
    }
    void sharingDidFailedFor(const QString& s, const QString& m) override {
        events.push_back("failed " + s.toStdString() + ": " + m.toStdString());
    }
    bool ended() const {
        return !events.empty() && (events.back().rfind("finished", 0) == 0 || events.back().rfind("failed", 0) == 0);
    }
};

// How long share and log-in windows wait for a touch, for one test.
struct IdleInterval {
    explicit IdleInterval(std::chrono::milliseconds wait) { IdleWindowWatch::setIdleInterval(wait); }
    ~IdleInterval() { IdleWindowWatch::setIdleInterval(IdleWindowWatch::kGuestIdleInterval); }
    void set(std::chrono::milliseconds wait) { IdleWindowWatch::setIdleInterval(wait); }
};

class SharingTest : public ::testing::Test {
protected:
    void SetUp() override {
        base::AppInfo::shared().load(std::string(FLASHWREN_SOURCE_DIR) + "/resources");
        ASSERT_TRUE(WrenDatabase::openShared(home.path() + "/db/flashwren_db.sqlite",
                                             std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
        MediaItemHelper::clearCache();
        main.adoptCurrentThread();
        SharingRuntime::setMainExecutor(&main);
        SharingRuntime::setScheduler(&scheduler);
        setOnline(true);
    }
    void TearDown() override { WrenDatabase::shared().close(); }

    void set(const std::string& key, const std::string& value) { UserDefaults::standard().set(key, value); }
    void setOnline(bool online) { set("IS_INTERNET_RECHABLE", online ? "YES" : "NO"); }
    // Runs main-queue work until `done` holds, polling what background threads change.
    bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline)
            if (main.runUntil(done, std::chrono::milliseconds(5))) return true;
        return done();
    }
    void advance(std::chrono::seconds by) { clock->advance(by); }
    std::string writeFile(const std::string& name, const std::string& bytes);

    testsupport::ScopedHome home;
    // Never freed: background work of a finished test may still post to them.
    base::ManualExecutor& main = *new base::ManualExecutor;
    std::shared_ptr<base::ManualTimeSource> clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler& scheduler = *new base::Scheduler(clock);
};

// Records the requests the sharing services set up while it lives.
class RequestLimitsSeen {
public:
    RequestLimitsSeen();
    ~RequestLimitsSeen();
    // Each request (at least one) whose address holds `part` is never cut for
    // its length, only after `silence` in which none of it moves, and waits
    // two minutes for its answer.
    void expectServiceLimits(const std::string& part, std::chrono::seconds silence);

private:
    std::mutex mutex_;
    std::vector<base::HttpRequest> seen_;
};

// Runs a python3 script with `input` on its standard input; its standard output.
std::string runPython(const std::string& script, const std::string& input);
// Every byte value, CR LF pairs and a fake boundary.
std::string awkwardBytes();

// The S3-compatible server from the npm registry, on 127.0.0.1 and a free port.
class S3Server {
public:
    explicit S3Server(const std::string& bucket);
    ~S3Server() { stop(); }
    bool running() const { return port_ != 0; }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void stop();

private:
    testsupport::TempDir dir_;
    int pid_ = -1;
    int port_ = 0;
};
