#include "kits/blackbox/BBXFileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/Files.h"
#include "base/Log.h"
#include "kits/blackbox/BBXCrashReportingController.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXKitSupport.h"

namespace fs = std::filesystem;

std::string BBXLastPathComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    auto slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string BBXPathExtension(const std::string& path) {
    std::string name = BBXLastPathComponent(path);
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

int BBXRenameWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    const int refused = errno;
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) {
        // A plain rename would replace an empty folder; only a race can still
        // let it, and never over a folder that holds anything.
        if (::lstat(to.c_str(), &st) == 0) {
            errno = EEXIST;
            return -1;
        }
        return ::rename(from.c_str(), to.c_str());
    }
    if (::link(from.c_str(), to.c_str()) != 0) {
        // A filesystem without links either: nothing here moves it safely.
        if (errno == EPERM || errno == ENOSYS || errno == EOPNOTSUPP) errno = refused;
        return -1;
    }
    if (::unlink(from.c_str()) != 0) {
        const int err = errno;
        ::unlink(to.c_str());
        errno = err;
        return -1;
    }
    return 0;
}

std::string BBXFileManager::rootPathForNamespace(const std::string& pathNamespace) {
    if (pathNamespace.empty() || pathNamespace == "." || pathNamespace == ".." ||
        pathNamespace.find('/') != std::string::npos) {
        return {};
    }
    return base::cacheHome() + "/io.blackbox.data/" + pathNamespace;
}

BBXFileManager::BBXFileManager() : root_(rootPathForNamespace(BBXBundleIdentifierNamespace())) {
    if (root_.empty()) spdlog::error("[Blackbox:FileManager] No usable bundle identifier: reports are not stored");
}

BBXFileManager::BBXFileManager(std::string rootPath) : root_(std::move(rootPath)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string BBXFileManager::pathNamespace() const { return root_.empty() ? std::string() : BBXLastPathComponent(root_); }
std::string BBXFileManager::under(const char* name) const { return root_.empty() ? std::string() : structurePath() + "/" + name; }
std::string BBXFileManager::structurePath() const { return root_.empty() ? std::string() : root_ + "/v3"; }
std::string BBXFileManager::activePath() const { return under("active"); }
std::string BBXFileManager::pendingPath() const { return under("pending"); }
std::string BBXFileManager::processingPath() const { return under("processing"); }
std::string BBXFileManager::preparedPath() const { return under("prepared"); }

bool BBXFileManager::createDirectoryAtPath(const std::string& path) {
    std::error_code ec;
    if (path.empty()) {
        ec = std::make_error_code(std::errc::invalid_argument);
    } else {
        fs::create_directories(path, ec);
        if (!ec && !fs::is_directory(path, ec) && !ec) ec = std::make_error_code(std::errc::not_a_directory);
        if (!ec) {
            // Intermediate folders get the process's mode; the leaf is set exactly.
            ::chmod(path.c_str(), 0755);
            return true;
        }
    }
    spdlog::error("[FileManager] Unable to create directory {}: {}", path, ec.message());
    return false;
}

bool BBXFileManager::removeItemAtPath(const std::string& path) {
    std::error_code ec;
    if (path.empty()) {
        ec = std::make_error_code(std::errc::invalid_argument);
    } else if (!fs::exists(fs::symlink_status(path, ec))) {
        if (!ec) ec = std::make_error_code(std::errc::no_such_file_or_directory);
    } else {
        fs::remove_all(path, ec);
        if (!ec) return true;
    }
    spdlog::error("[FileManager] Failed to remove file '{}' : {}", path, ec.message());
    return false;
}

bool BBXFileManager::removeContentsOfDirectoryAtPath(const std::string& path) {
    DIR* dir = path.empty() ? nullptr : ::opendir(path.c_str());
    if (!dir) return false;
    ::closedir(dir);
    bool ok = true;
    // Hidden entries are never reported, but emptying a stage removes them too.
    std::error_code ec;
    std::vector<std::string> entries;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
    if (ec) return false;
    for (const auto& entry : entries) ok = removeItemAtPath(entry) && ok;
    return ok;
}

bool BBXFileManager::moveItemAtPath(const std::string& path, const std::string& directory) {
    if (path.empty() || directory.empty()) {
        spdlog::error("[FileManager] Failed to move file, inputs invalid");
        return false;
    }
    const std::string destination = directory + "/" + BBXLastPathComponent(path);
    // Never over an existing entry: the other copy may belong to a live process.
    if (BBXRenameWithoutReplacing(path, destination) != 0) {
        spdlog::error("[FileManager] Failed to move file: {} -> {}: {}", path, destination, std::strerror(errno));
        return false;
    }
    return true;
}

bool BBXFileManager::moveItemsFromDirectory(const std::string& from, const std::string& to) {
    for (const auto& path : contentsOfDirectory(from)) {
        if (!moveItemAtPath(path, to)) return false;
    }
    return true;
}

void BBXFileManager::enumerateFilesInDirectory(
    const std::string& directory, const std::function<void(const std::string&, const std::string&)>& block) {
    if (directory.empty()) return;
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        const std::string path = directory + "/" + name;
        block(path, BBXPathExtension(name));
    }
}

std::vector<std::string> BBXFileManager::contentsOfDirectory(const std::string& directory) {
    std::vector<std::string> paths;
    enumerateFilesInDirectory(directory, [&](const std::string& path, const std::string&) { paths.push_back(path); });
    return paths;
}

std::optional<std::uint64_t> BBXFileManager::fileSizeAtPath(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        spdlog::error("[Client] Unable to read file size: {}", path.empty() ? "no path" : std::strerror(errno));
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

bool BBXFileManager::prepareForNewLaunch() {
    return createDirectoryAtPath(activePath()) && createDirectoryAtPath(processingPath()) &&
           createDirectoryAtPath(preparedPath());
}

std::optional<std::string> BBXFileManager::setupNewPathForExecutionIdentifier(
    const std::string& identifier, const std::function<bool(const std::string& directory)>& beforePublishing) {
    if (identifier.empty() || identifier == "." || identifier == ".." || identifier.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const std::string path = activePath() + "/" + identifier;
    // Made under a hidden name, which no enumeration reports, and renamed
    // into place once ready: another copy starting now never finds it half
    // made and takes it for the folder of a run that has ended.
    const std::string staging = activePath() + "/." + identifier + ".new";
    if (!createDirectoryAtPath(staging)) return std::nullopt;
    if (beforePublishing && !beforePublishing(staging)) {
        removeItemAtPath(staging);
        return std::nullopt;
    }
    if (BBXRenameWithoutReplacing(staging, path) != 0) {
        spdlog::error("[FileManager] Unable to create directory {}: {}", path, std::strerror(errno));
        removeItemAtPath(staging);
        return std::nullopt;
    }
    return path;
}

void BBXFileManager::removeLegacyDirectories() {
    if (root_.empty()) return;
    // The earlier layout kept its reports in "sendable" directly under the
    // root; "v3" and the other kits' folders share the root and stay.
    const std::string legacy = root_ + "/sendable";
    struct stat st;
    if (::lstat(legacy.c_str(), &st) != 0) return;
    std::error_code ec;
    fs::remove_all(legacy, ec);
    if (ec) {
        spdlog::error("[Blackbox:FileManager] Unable to remove legacy directory structure {}", ec.message());
        return;
    }
    spdlog::info("[Blackbox:FileManager] Removed legacy structure at {}", root_);
}

bool BBXFileManager::removeContentsOfAllPaths() {
    bool processing = removeContentsOfProcessingPath();
    bool pending = removeContentsOfPendingPath();
    bool prepared = removeContentsOfDirectoryAtPath(preparedPath());
    bool active = removeContentsOfDirectoryAtPath(activePath());
    return processing && pending && prepared && active;
}

void BBXFileManager::enumerateReportsInProcessingDirectoryUsingBlock(
    const std::function<void(const std::shared_ptr<BBXInternalReport>&, const std::string&)>& block) {
    enumerateFilesInDirectory(processingPath(), [&](const std::string& path, const std::string&) {
        block(BBXInternalReport::reportWithPath(path), path);
    });
}

namespace {

std::uint64_t treeSize(const std::string& path) {
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(path, ec))) return fs::file_size(path, ec);
    std::uint64_t total = 0;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) total += it->file_size(sizeError);
    }
    return total;
}

}  // namespace

std::size_t BBXFileManager::trimDirectory(const std::string& directory, std::size_t maxCount, std::uint64_t maxBytes,
                                          const std::string& keep) {
    struct Entry {
        std::string path;
        fs::file_time_type time;
        std::uint64_t bytes;
    };
    std::vector<Entry> entries;
    std::uint64_t total = 0;
    for (const auto& path : contentsOfDirectory(directory)) {
        std::error_code ec;
        Entry e{path, fs::last_write_time(path, ec), treeSize(path)};
        total += e.bytes;
        entries.push_back(std::move(e));
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.time != b.time ? a.time < b.time : a.path < b.path;
    });
    std::size_t count = entries.size(), removed = 0;
    for (const auto& e : entries) {
        if (count <= maxCount && total <= maxBytes) break;
        if (e.path == keep) continue;
        if (removeItemAtPath(e.path)) {
            spdlog::warn("[Blackbox:FileManager] Too many waiting reports: removed {}", e.path);
            ++removed;
            --count;
            total -= e.bytes;
        }
    }
    return removed;
}

std::size_t BBXFileManager::removeStaleTemporaryPackages(double minimumAgeSeconds) {
    const std::string prepared = preparedPath();
    if (prepared.empty()) return 0;
    DIR* dir = ::opendir(prepared.c_str());
    if (!dir) return 0;
    std::vector<std::string> stale;
    const auto now = fs::file_time_type::clock::now();
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() < 5 || name[0] != '.' || !name.ends_with(".tmp")) continue;
        std::error_code ec;
        auto time = fs::last_write_time(prepared + "/" + name, ec);
        if (ec || std::chrono::duration<double>(now - time).count() < minimumAgeSeconds) continue;
        stale.push_back(prepared + "/" + name);
    }
    ::closedir(dir);
    // A run's report folder is made under a hidden name and renamed once
    // locked; one left by a process killed in between is never renamed. A
    // folder whose lock is held belongs to a copy still making it.
    const std::string active = activePath();
    if (DIR* folders = active.empty() ? nullptr : ::opendir(active.c_str())) {
        while (dirent* entry = ::readdir(folders)) {
            std::string name = entry->d_name;
            if (name.size() < 6 || name[0] != '.' || !name.ends_with(".new")) continue;
            const std::string path = active + "/" + name;
            std::error_code ec;
            auto time = fs::last_write_time(path, ec);
            if (ec || std::chrono::duration<double>(now - time).count() < minimumAgeSeconds) continue;
            if (!BBXReportDirectoryIsLive(path)) stale.push_back(path);
        }
        ::closedir(folders);
    }
    std::size_t removed = 0;
    for (const auto& path : stale) removed += removeItemAtPath(path) ? 1 : 0;
    return removed;
}
