#include "SharingTestSupport.h"
#include <nlohmann/json.hpp>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

std::string SharingTest::writeFile(const std::string& name, const std::string& bytes) {
    std::filesystem::path path = home.path() + "/" + name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

RequestLimitsSeen::RequestLimitsSeen() {
    SharingRuntime::setRequestObserver([this](const base::HttpRequest& request) {
        std::lock_guard lock(mutex_);
        seen_.push_back(request);
    });
}

RequestLimitsSeen::~RequestLimitsSeen() { SharingRuntime::setRequestObserver(nullptr); }

void RequestLimitsSeen::expectServiceLimits(const std::string& part, std::chrono::seconds silence) {
    std::lock_guard lock(mutex_);
    int found = 0;
    for (auto& request : seen_) {
        if (request.url.find(part) == std::string::npos) continue;
        ++found;
        EXPECT_EQ(request.timeoutSeconds, 0) << part << ": cut for its length";
        EXPECT_EQ(request.sendSilence, silence) << part;
        EXPECT_EQ(request.answerWait, std::chrono::minutes(2)) << part;
    }
    EXPECT_GT(found, 0) << "no request to " << part;
}

std::string runPython(const std::string& script, const std::string& input) {
    testsupport::TempDir dir;
    std::ofstream(dir.file("script.py")) << script;
    std::ofstream(dir.file("input"), std::ios::binary) << input;
    std::string output;
    if (FILE* pipe = ::popen(("python3 " + dir.file("script.py") + " < " + dir.file("input")).c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
        ::pclose(pipe);
    }
    return output;
}

std::string awkwardBytes() {
    std::string bytes;
    for (int i = 0; i < 6000; ++i) bytes.push_back(static_cast<char>(i < 256 ? i : (i * 7919) & 0xff));
    static const char tail[] = "\r\n--GLIMMERLY_BOUNDARY\r\n\r\n\0\xff\xd8";
    return bytes.append(tail, sizeof tail - 1);
}

S3Server::S3Server(const std::string& bucket) {
    const std::string bin = S3RVER_BIN;
    int fds[2];
    if (::access(bin.c_str(), X_OK) != 0 || ::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::execl(bin.c_str(), bin.c_str(), "-d", dir_.path().c_str(), "-a", "127.0.0.1", "-p", "0",
                "--configure-bucket", bucket.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // The server names its port once it listens.
    std::string output;
    std::smatch match;
    char buffer[512];
    pollfd ready{fds[0], POLLIN, 0};
    for (ssize_t n; port_ == 0 && ::poll(&ready, 1, 20000) > 0 && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<size_t>(n));
        if (std::regex_search(output, match, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)")))
            port_ = std::stoi(match[1]);
    }
    // Its log is drained so that it never blocks on a full pipe.
    std::thread([fd = fds[0]] {
        char sink[4096];
        while (::read(fd, sink, sizeof sink) > 0) {
        }
        ::close(fd);
    }).detach();
    if (!port_) stop();
}

void S3Server::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    port_ = 0;
}
