#include "base/Files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace base {

namespace fs = std::filesystem;

bool writeFileAtomically(const std::string& path, std::string_view data, std::string* error) {
    return writeFileAtomically(path, data, 0644, error);
}

bool writeFileAtomically(const std::string& path, std::string_view data, unsigned mode, std::string* error) {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    fs::path target(path);
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(mode));
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + " " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        return false;
    };
    if (fd < 0) return fail("cannot create");
    if (writeFully(fd, data.data(), data.size()) != data.size()) return fail("cannot write");
    if (::fsync(fd) != 0) return fail("cannot flush");
    if (::close(fd) != 0) {
        fd = -1;
        return fail("cannot close");
    }
    fd = -1;
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail("cannot rename into");
    return true;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return ss.str();
}

std::string setAside(const std::string& path) {
    auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch()).count();
    std::string aside = path + ".corrupt-" + std::to_string(stamp);
    std::error_code ec;
    fs::rename(path, aside, ec);
    return ec ? std::string() : aside;
}

std::string homeDir() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (auto* pw = ::getpwuid(::getuid())) return pw->pw_dir;
    return "/tmp";
}

namespace {
std::string xdg(const char* var, const char* fallback) {
    if (const char* v = std::getenv(var); v && *v && v[0] == '/') return v;
    return homeDir() + "/" + fallback;
}

// Reads XDG_<NAME>_DIR from user-dirs.dirs, else ~/<fallback>.
std::string userDir(const std::string& name, const char* fallback) {
    auto text = readFile(configHome() + "/user-dirs.dirs");
    if (text) {
        std::istringstream lines(*text);
        std::string line, key = "XDG_" + name + "_DIR=";
        while (std::getline(lines, line)) {
            if (line.rfind(key, 0) != 0) continue;
            std::string v = line.substr(key.size());
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            if (v.rfind("$HOME", 0) == 0) v = homeDir() + v.substr(5);
            if (!v.empty() && v[0] == '/' && v != homeDir() && v != homeDir() + "/") return v;
        }
    }
    return homeDir() + "/" + fallback;
}
}  // namespace

std::string configHome() { return xdg("XDG_CONFIG_HOME", ".config"); }
std::string dataHome() { return xdg("XDG_DATA_HOME", ".local/share"); }
std::string cacheHome() { return xdg("XDG_CACHE_HOME", ".cache"); }
std::string documentsDir() { return userDir("DOCUMENTS", "Documents"); }
std::string picturesDir() { return userDir("PICTURES", "Pictures"); }

std::size_t writeFully(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) {
            errno = EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace base
