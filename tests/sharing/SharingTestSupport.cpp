#include "SharingTestSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <filesystem>
#include <regex>
#include <thread>

#include "base/Files.h"

std::string SharingTest::writeFile(const std::string& name, const std::string& bytes) {
    std::string path = home.path() + "/" + name;
    auto slash = path.rfind('/');
    std::filesystem::create_directories(path.substr(0, slash));
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string runPython(const std::string& script, const std::string& input) {
    testsupport::TempDir dir;
    std::ofstream(dir.file("script.py")) << script;
    std::ofstream(dir.file("input"), std::ios::binary) << input;
    std::string command = "python3 " + dir.file("script.py") + " < " + dir.file("input");
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        ::pclose(pipe);
    }
    return output;
}

std::string awkwardBytes() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    static const char tail[] = "\r\n--GLIMMERLY_BOUNDARY\r\n\r\n\0\xff\xd8";
    bytes.append(tail, sizeof tail - 1);
    for (int i = 0; i < 5000; ++i) bytes.push_back(static_cast<char>((i * 7919) & 0xff));
    return bytes;
}

S3Server::S3Server(const std::string& bucket) {
    const std::string bin = S3RVER_BIN;
    if (::access(bin.c_str(), X_OK) != 0) return;
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::execl(bin.c_str(), bin.c_str(), "-d", dir_.path().c_str(), "-a", "127.0.0.1", "-p", "0",
                "--configure-bucket", bucket.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // The server names its port when it listens.
    std::string output;
    std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
    std::smatch match;
    char buffer[512];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
        if (std::regex_search(output, match, listening)) {
            port_ = std::stoi(match[1]);
            break;
        }
    }
    // Keep reading its log in the background so that it never blocks on a full pipe.
    int fd = fds[0];
    std::thread([fd] {
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

S3Server::~S3Server() { stop(); }
