#pragma once
// Helpers shared by the Trellis tests.
#include <chrono>
#include <cstdio>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "PythonMultipart.h"
#include "TempDir.h"
#include "Wait.h"
#include "base/AppInfo.h"
#include "base/Files.h"
#include "base/Plist.h"

namespace trellistest {

// Points the application's information dictionary at a temporary one for
// the test's life.
class ScopedInfoPlist {
public:
    explicit ScopedInfoPlist(const nlohmann::json& info) : saved_(base::AppInfo::shared().resourcesDir()) {
        base::writeFileAtomically(dir_.file("Info.plist"), base::plistToXml(info));
        base::AppInfo::shared().load(dir_.path());
    }
    ~ScopedInfoPlist() { base::AppInfo::shared().load(saved_); }
    const std::string& dir() const { return dir_.path(); }

private:
    std::string saved_;
    testsupport::TempDir dir_;
};

// A one-shot flag a test can wait on.
class Latch {
public:
    void signal() {
        std::lock_guard lock(mutex_);
        done_ = true;
        cv_.notify_all();
    }
    bool wait(int ms = 5000) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

// Waits until `done` holds, polling.
inline bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
    return testsupport::waitUntil(done, std::chrono::milliseconds(ms));
}

using testsupport::parseMultipartWithPython;

inline std::string hex(const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) out += {d[c >> 4], d[c & 15]};
    return out;
}

}  // namespace trellistest
