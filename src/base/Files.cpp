#include "base/Files.h"

#include <fcntl.h>
#include <stdio.h>
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

namespace {

// The lock a writer holds on its temporary file while it writes: an
// open-file-description lock, which ends with the writer's last descriptor
// however the writer ends, and which every process sharing the filesystem
// sees, whatever process numbers its container gives it.
bool lockWhole(int fd, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    int rc;
    do {
        rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view data, unsigned mode, std::string* error) {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    fs::path target(path);
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    std::string temp;
    int fd = -1;
    // A name of its own: never one a writer before it (of a process with the
    // same number, in another container or before a reboot) left behind.
    for (int tries = 0; fd < 0 && tries < 100; ++tries) {
        temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
        if (fd < 0 && errno != EEXIST) break;
    }
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + " " + path + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
            ::unlink(temp.c_str());
        }
        return false;
    };
    if (fd < 0) return fail("cannot create");
    // Held until the file is closed, after it has its name. A filesystem
    // without such locks still gets the file.
    lockWhole(fd, F_WRLCK, true);
    if (writeFully(fd, data.data(), data.size()) != data.size()) return fail("cannot write");
    if (::fsync(fd) != 0) return fail("cannot flush");
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail("cannot rename into");
    if (::close(fd) != 0) {
        fd = -1;
        if (error) *error = std::string("cannot close ") + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

// What stands at a path, in the words of a log line; empty for a kind
// without a name.
std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISREG(mode)) return "a file";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return {};
}

// What stands at a path instead of a file.
std::string notAFile(mode_t mode) {
    const std::string kind = kindOf(mode);
    return kind.empty() ? "it is not a regular file" : "it is " + kind + ", not a file";
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
    std::uint64_t written = 0;
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

std::optional<std::string> whyNotARegularFile(const std::string& path, bool followLinks) {
    struct stat st;
    if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        if (errno == ELOOP) return std::string("it is a loop of symbolic links, not a file");
        return std::string("it cannot be looked at: ") + std::strerror(errno);
    }
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        if (::stat(path.c_str(), &target) != 0)
            return std::string(errno == ELOOP ? "it is a loop of symbolic links, not a file"
                                              : "it is a symbolic link to nothing, not a file");
        if (S_ISREG(target.st_mode)) return std::string("it is a symbolic link, not a file");
        const std::string what = notAFile(target.st_mode);  // "it is a named pipe, not a file"
        return "it is a symbolic link to" + what.substr(what.find(" a"));
    }
    if (!S_ISREG(st.st_mode)) return notAFile(st.st_mode);
    return std::nullopt;
}

std::optional<std::string> whyNotAFolder(const std::string& path) {
    auto what = [](mode_t mode) {
        const std::string kind = kindOf(mode);
        return kind.empty() ? std::string("something else") : kind;
    };
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        return std::string("it cannot be looked at: ") + std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode)) return std::nullopt;
    if (!S_ISLNK(st.st_mode)) return "it is " + what(st.st_mode) + ", not a folder";
    struct stat target;
    if (::stat(path.c_str(), &target) != 0)
        return std::string(errno == ELOOP ? "it is a loop of symbolic links, not a folder"
                                          : "it is a symbolic link to nothing, not a folder");
    if (S_ISDIR(target.st_mode)) return std::nullopt;
    return "it is a symbolic link to " + what(target.st_mode) + ", not a folder";
}

bool copyRegularFile(const std::string& from, const std::string& to, std::string* why,
                     const std::function<bool(std::uint64_t written)>& keepGoing) {
    static std::atomic<unsigned> counter{0};
    auto fail = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    ReadFailure failure;
    const int in = openRegularFile(from, &failure);
    if (in < 0) return fail(failure.why);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closeIn{in};
    struct stat st;
    if (::fstat(in, &st) != 0) return fail(std::string("it cannot be looked at: ") + std::strerror(errno));
    std::string temp;
    int out = -1;
    for (int tries = 0; out < 0 && tries < 100; ++tries) {
        temp = to + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
        if (out < 0 && errno != EEXIST) break;
    }
    if (out < 0) return fail(std::string("its copy cannot be made: ") + std::strerror(errno));
    auto failOut = [&](const char* what, int err) {
        if (out >= 0) ::close(out);
        ::unlink(temp.c_str());
        return fail(std::string(what) + ": " + std::strerror(err));
    };
    // The file's own mode, not what the umask leaves of it.
    if (::fchmod(out, st.st_mode & 0777) != 0) return failOut("its copy cannot be given its mode", errno);
    char buffer[65536];
    std::uint64_t written = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failOut("it cannot be read", errno);
        if (n == 0) break;
        if (writeFully(out, buffer, static_cast<std::size_t>(n)) != static_cast<std::size_t>(n))
            return failOut("its copy cannot be written", errno);
        written += static_cast<std::uint64_t>(n);
        // A large file on a slow stick takes minutes: a stop is heard within it.
        if (keepGoing && !keepGoing(written)) {
            ::close(out);
            ::unlink(temp.c_str());
            return fail("the copy was stopped");
        }
    }
    if (::fsync(out) != 0) return failOut("its copy cannot be flushed", errno);
    const int closed = ::close(out);
    out = -1;
    if (closed != 0) return failOut("its copy cannot be closed", errno);
    // A second name never replaces what came in the meantime. A filesystem
    // without second names (a stick formatted for cameras) is renamed onto,
    // where nothing stood a moment ago.
    if (::link(temp.c_str(), to.c_str()) == 0) {
        ::unlink(temp.c_str());
        return true;
    }
    const int err = errno;
    struct stat there;
    if (err == EEXIST || ::lstat(to.c_str(), &there) == 0) return failOut("something else stands in its place", EEXIST);
    if (::rename(temp.c_str(), to.c_str()) != 0) return failOut("its copy cannot be put in place", errno);
    return true;
}

std::string setAside(const std::string& path) {
    const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string first = path + ".corrupt-" + std::to_string(stamp);
    // Two damaged files in one second (the settings and a store of the kits,
    // or one file damaged twice) each keep their copy: nothing is moved
    // over a name that is taken.
    for (int n = 0; n < 1000; ++n) {
        const std::string aside = n == 0 ? first : first + "-" + std::to_string(n);
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return aside;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return {};
        // A filesystem that takes no flags: a second name, then the first
        // one gone; a link never replaces.
        if (::link(path.c_str(), aside.c_str()) == 0) {
            if (::unlink(path.c_str()) == 0) return aside;
            ::unlink(aside.c_str());
            return {};
        }
        if (errno == EEXIST) continue;
        // Folders take no second name: moved only where nothing stands.
        struct stat st;
        if (::lstat(aside.c_str(), &st) == 0) continue;
        if (errno == ENOENT && ::rename(path.c_str(), aside.c_str()) == 0) return aside;
        return {};
    }
    return {};
}

namespace {

// Whether a temporary file was left by a write that ended unfinished: no
// writer holds its lock. One made a moment ago may not have its lock yet;
// it is looked at again once it is older than that moment.
bool abandoned(const fs::path& file) {
    constexpr auto kLockTaken = std::chrono::milliseconds(200);
    for (int look = 0; look < 2; ++look) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return false;
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{fd};
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        const auto changed = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(st.st_ctim.tv_sec) + std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
        const auto age = std::chrono::system_clock::now() - changed;
        if (look == 0 && age >= std::chrono::system_clock::duration::zero() && age < kLockTaken) {
            ::usleep(static_cast<useconds_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(kLockTaken - age).count()));
            continue;
        }
        // A read lock is enough to find a writer's lock, and all a file
        // opened for reading may take.
        if (lockWhole(fd, F_RDLCK, false)) return true;
        // Held: a write under way. A filesystem without these locks leaves
        // the number in the name to judge by, as before.
        return errno == EINVAL || errno == ENOLCK || errno == ENOSYS;
    }
    return false;
}

}  // namespace

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
        // A live process of that number here may be its writer: it stays.
        // A number unknown here proves nothing (the writer may run in
        // another container); the writer's lock decides.
        if (pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        if (!abandoned(it->path())) continue;
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
