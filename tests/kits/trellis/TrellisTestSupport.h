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

#include "TempDir.h"
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
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Parses a multipart body with Python's own MIME parser and prints one line
// per part: field name, file name, content type, then the payload's hex.
inline std::string parseMultipartWithPython(const std::string& contentType, const std::string& body) {
    testsupport::TempDir dir;
    base::writeFileAtomically(dir.file("body"), "Content-Type: " + contentType + "\r\n" + body);
    std::string script = dir.file("parse.py");
    base::writeFileAtomically(script,
                              "import sys, email, email.policy\n"
                              "msg = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.HTTP)\n"
                              "assert msg.is_multipart(), 'not multipart'\n"
                              "for part in msg.iter_parts():\n"
                              "    print(part.get_param('name', header='content-disposition'), part.get_filename(),\n"
                              "          part.get_content_type(), part.get_payload(decode=True).hex())\n");
    std::string command = "python3 " + script + " " + dir.file("body") + " 2>&1";
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

inline std::string hex(const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) out += {d[c >> 4], d[c & 15]};
    return out;
}

}  // namespace trellistest
