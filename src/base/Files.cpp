#include "base/Files.h"

#include <fcntl.h>
#include <signal.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

namespace {

// What stands at a path instead of a file, in the words of a log line.
std::string notAFile(mode_t mode) {
    if (S_ISDIR(mode)) return "it is a folder, not a file";
    if (S_ISFIFO(mode)) return "it is a named pipe, not a file";
    if (S_ISCHR(mode)) return "it is a character device, not a file";
    if (S_ISBLK(mode)) return "it is a block device, not a file";
    if (S_ISSOCK(mode)) return "it is a socket, not a file";
    return "it is not a regular file";
}

std::string tooLarge(std::size_t limit) {
    return "it is larger than " + std::to_string(limit) + " bytes";
}

}  // namespace

int openRegularFile(const std::string& path, ReadFailure* failure, std::size_t* size) {
    auto fail = [failure](bool missing, std::string why, int err) {
        if (failure) *failure = ReadFailure{missing, std::move(why)};
        errno = err;
        return -1;
    };
    auto failErrno = [&](const char* what) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) return fail(true, "it does not exist", err);
        return fail(false, std::string(what) + ": " + std::strerror(err), err);
    };
    // Looked at before it is opened: opening a device may itself do something.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return failErrno("it cannot be looked at");
    if (!S_ISREG(st.st_mode)) return fail(false, notAFile(st.st_mode), EINVAL);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failErrno("it cannot be opened");
    // Whatever was swapped in between the look and the open is looked at again.
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return failErrno("it cannot be looked at");
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(false, notAFile(st.st_mode), EINVAL);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (size) *size = static_cast<std::size_t>(st.st_size);
    return fd;
}

std::optional<std::string> readFile(const std::string& path, ReadFailure* failure, std::size_t limit) {
    auto fail = [failure](std::string why) -> std::optional<std::string> {
        if (failure) *failure = ReadFailure{false, std::move(why)};
        return std::nullopt;
    };
    std::size_t size = 0;
    const int fd = openRegularFile(path, failure, &size);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (size > limit) return fail(tooLarge(limit));
    // The size is only a hint: files of /proc and /sys say 0 or 4096, and a
    // file may grow while it is read. The limit holds whatever it says.
    std::string out;
    out.reserve(size);
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::string("it cannot be read: ") + std::strerror(errno));
        if (n == 0) break;
        if (out.size() + static_cast<std::size_t>(n) > limit) return fail(tooLarge(limit));
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::string setAside(const std::string& path) {
    auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch()).count();
    std::string aside = path + ".corrupt-" + std::to_string(stamp);
    std::error_code ec;
    fs::rename(path, aside, ec);
    return ec ? std::string() : aside;
}

void removeAbandonedTemporaries(const std::string& path) {
    const fs::path target(path);
    const std::string prefix = target.filename().string() + ".tmp-";
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        // "<name>.tmp-<pid>-<count>", as writeFileAtomically names them.
        const char* digits = name.c_str() + prefix.size();
        char* end = nullptr;
        errno = 0;
        const long pid = std::strtol(digits, &end, 10);
        if (end == digits || *end != '-' || errno == ERANGE || pid <= 0 || pid > INT_MAX) continue;
        if (pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        std::error_code ignored;
        fs::remove(it->path(), ignored);
    }
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
