#include "kits/tally/BBXEventLogSessionRepository.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "kits/tally/TallyFiles.h"

namespace fs = std::filesystem;
using tally::fsError;
using tally::setError;

namespace {

std::string join(const std::string& dir, const std::string& name) { return (fs::path(dir) / name).string(); }

std::string lastComponent(const std::string& url) {
    fs::path p(url);
    if (!p.has_filename()) p = p.parent_path();
    return p.filename().string();
}

std::string extensionOf(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

std::string withoutExtension(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name;
    return name.substr(0, dot);
}

std::string parentOf(const std::string& url) {
    fs::path p(url);
    if (!p.has_filename()) p = p.parent_path();
    return p.parent_path().string();
}

}  // namespace

BBXEventLogSessionRepository::BBXEventLogSessionRepository(std::string rootDirectoryURL)
    : root_(std::move(rootDirectoryURL)) {}

std::optional<std::string> BBXEventLogSessionRepository::activeEventLogFileNameForPriority(std::int64_t priority) {
    switch (priority) {
        case 0: return "0.log";
        case 1: return "1.log";
        case 2: return "2.log";
        default: return std::nullopt;
    }
}

std::int64_t BBXEventLogSessionRepository::priorityForEventLogFileWithName(std::string_view name) {
    std::string n(name);
    std::string stem = withoutExtension(n);
    for (std::int64_t p = 0; p < 3; ++p) {
        auto file = *activeEventLogFileNameForPriority(p);
        if (n == file || stem == file) return p;
    }
    return -1;
}

std::string BBXEventLogSessionRepository::sessionDirectoryNameWithIdentifier(const std::string& identifier,
                                                                          std::uint64_t timestamp) {
    return std::to_string(timestamp) + "_" + identifier;
}

std::string BBXEventLogSessionRepository::sessionFragmentDirectoryNameWithIdentifier(const std::string& identifier,
                                                                                  std::uint64_t timestamp) {
    return std::to_string(timestamp) + "_" + identifier;
}

std::string BBXEventLogSessionRepository::prepDirectoryForDirectoryURL(const std::string& url) {
    return join(parentOf(url), lastComponent(url) + ".prep");
}

bool BBXEventLogSessionRepository::isPrepDirectoryURL(const std::string& url) {
    return extensionOf(lastComponent(url)) == "prep";
}

std::string BBXEventLogSessionRepository::stateDirectoryURLForSessionDirectoryURL(const std::string& url) {
    return parentOf(url);
}
std::string BBXEventLogSessionRepository::sessionDirectoryURLForSessionFragmentDirectoryURL(const std::string& url) {
    return parentOf(url);
}
std::string BBXEventLogSessionRepository::sessionFragmentDirectoryURLForLogFileURL(const std::string& url) {
    return parentOf(url);
}

std::string BBXEventLogSessionRepository::standardized(const std::string& url) {
    std::string s = fs::path(url).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// --- support -----------------------------------------------------------------

bool BBXEventLogSessionRepository::isDirectoryURL(const std::string& url) {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(url, ec));
}

bool BBXEventLogSessionRepository::itemURLHasNameMatching(const std::string& url, const std::string& name) {
    return lastComponent(url) == name;
}

bool BBXEventLogSessionRepository::itemURLHasPathExtensionMatching(const std::string& url,
                                                                   const std::string& extension) {
    return extensionOf(lastComponent(url)) == extension;
}

bool BBXEventLogSessionRepository::deleteItemAtPath(const std::string& path, ItemType ifNotOfType, Error* error) {
    std::error_code ec;
    auto st = fs::symlink_status(path, ec);
    if (!fs::exists(st)) return true;
    bool isDir = fs::is_directory(st);
    if ((ifNotOfType == ItemType::Directory) == isDir) return true;
    fs::remove_all(path, ec);
    if (ec) {
        setError(error, fsError(ec, "remove " + path));
        return false;
    }
    return true;
}

bool BBXEventLogSessionRepository::createFileWithURL(const std::string& url, Error* error) {
    if (!deleteItemAtPath(url, ItemType::File, error)) return false;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(url, ec))) return true;
    FILE* f = std::fopen(url.c_str(), "ab");
    if (!f) {
        setError(error, tally::posixError(errno, "create " + url));
        return false;
    }
    std::fclose(f);
    return true;
}

bool BBXEventLogSessionRepository::createDirectoryWithURL(const std::string& url, Error* error) {
    if (!deleteItemAtPath(url, ItemType::Directory, error)) return false;
    std::error_code ec;
    fs::create_directories(url, ec);
    if (ec) {
        setError(error, fsError(ec, "create directory " + url));
        return false;
    }
    return true;
}

bool BBXEventLogSessionRepository::deleteItemAtURL(const std::string& url, Error* error) {
    // Only what we may delete: an item in a folder we cannot write stays.
    if (::access(parentOf(url).c_str(), W_OK) != 0) return true;
    std::error_code ec;
    fs::remove_all(url, ec);
    if (ec) {
        setError(error, fsError(ec, "remove " + url));
        return false;
    }
    return true;
}

std::optional<BBXEventLogSessionRepository::Paths> BBXEventLogSessionRepository::contentsOfDirectoryURL(
    const std::string& url, Error* error) {
    std::error_code ec;
    fs::directory_iterator it(url, ec);
    if (ec) {
        setError(error, fsError(ec, "list " + url));
        return std::nullopt;
    }
    Paths out;
    for (const auto& entry : it) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        out.push_back(entry.path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<BBXEventLogSessionRepository::Paths> BBXEventLogSessionRepository::directoriesIn(const std::string& url,
                                                                                             Error* error) {
    auto items = contentsOfDirectoryURL(url, error);
    if (!items) return std::nullopt;
    Paths out;
    for (auto& item : *items)
        if (isDirectoryURL(item)) out.push_back(std::move(item));
    return out;
}

// --- the tree ----------------------------------------------------------------

std::optional<std::string> BBXEventLogSessionRepository::statesDirectoryURL(Error* error) {
    std::string url = join(root_, kVersionDirectoryName);
    if (!createDirectoryWithURL(url, error)) return std::nullopt;
    return url;
}

std::optional<std::string> BBXEventLogSessionRepository::stateDirectoryURLForStateName(const std::string& state,
                                                                                     Error* error) {
    std::string url = join(join(root_, kVersionDirectoryName), state);
    if (!createDirectoryWithURL(url, error)) return std::nullopt;
    return url;
}

std::optional<std::string> BBXEventLogSessionRepository::sessionDirectoryURLForStateName(
    const std::string& state, const std::string& sessionIdentifier, std::uint64_t sessionTimestamp, Error* error) {
    std::string url = join(join(join(root_, kVersionDirectoryName), state),
                           sessionDirectoryNameWithIdentifier(sessionIdentifier, sessionTimestamp));
    if (!createDirectoryWithURL(url, error)) return std::nullopt;
    return url;
}

std::optional<std::string> BBXEventLogSessionRepository::sessionFragmentDirectoryURLForStateName(
    const std::string& state, const std::string& sessionIdentifier, std::uint64_t sessionTimestamp,
    const std::string& fragmentIdentifier, std::uint64_t fragmentTimestamp, Error* error) {
    std::string url = join(join(join(join(root_, kVersionDirectoryName), state),
                                sessionDirectoryNameWithIdentifier(sessionIdentifier, sessionTimestamp)),
                           sessionFragmentDirectoryNameWithIdentifier(fragmentIdentifier, fragmentTimestamp));
    if (!createDirectoryWithURL(url, error)) return std::nullopt;
    return url;
}

std::optional<std::string> BBXEventLogSessionRepository::eventLogFileURLForStateName(
    const std::string& state, const std::string& sessionIdentifier, std::uint64_t sessionTimestamp,
    const std::string& fragmentIdentifier, std::uint64_t fragmentTimestamp, std::int64_t priority, Error* error) {
    auto name = activeEventLogFileNameForPriority(priority);
    if (!name) {
        setError(error, Error("BBXEventLogSessionRepository", -1, "no log file for this priority"));
        return std::nullopt;
    }
    auto dir = sessionFragmentDirectoryURLForStateName(state, sessionIdentifier, sessionTimestamp, fragmentIdentifier,
                                                       fragmentTimestamp, error);
    if (!dir) return std::nullopt;
    return join(*dir, *name);
}

std::optional<BBXEventLogSessionRepository::Paths> BBXEventLogSessionRepository::sessionDirectoryURLsForStateName(
    const std::string& state, Error* error) {
    auto stateDir = stateDirectoryURLForStateName(state, error);
    if (!stateDir) return std::nullopt;
    return directoriesIn(*stateDir, error);
}

std::optional<BBXEventLogSessionRepository::Paths>
BBXEventLogSessionRepository::sessionFragmentDirectoryURLsForSessionDirectory(const std::string& sessionDirectory,
                                                                              Error* error) {
    return directoriesIn(sessionDirectory, error);
}

std::optional<BBXEventLogSessionRepository::Paths> BBXEventLogSessionRepository::sessionFragmentDirectoryURLsForStateName(
    const std::string& state, Error* error) {
    auto sessions = sessionDirectoryURLsForStateName(state, error);
    if (!sessions) return std::nullopt;
    Paths out;
    for (const auto& session : *sessions) {
        auto fragments = sessionFragmentDirectoryURLsForSessionDirectory(session, error);
        if (!fragments) return std::nullopt;
        out.insert(out.end(), fragments->begin(), fragments->end());
    }
    return out;
}

std::optional<BBXEventLogSessionRepository::Paths> BBXEventLogSessionRepository::logFileURLsForSessionFragmentDirectory(
    const std::string& fragmentDirectory, Error* error) {
    auto items = contentsOfDirectoryURL(fragmentDirectory, error);
    if (!items) return std::nullopt;
    Paths out;
    for (auto& item : *items)
        if (itemURLHasPathExtensionMatching(item, "log") || itemURLHasPathExtensionMatching(item, "zip"))
            out.push_back(std::move(item));
    return out;
}

std::optional<BBXEventLogSessionRepository::Paths> BBXEventLogSessionRepository::logFileURLsForAllStates(Error* error) {
    Paths out;
    for (const char* state : {kActiveState, kPackagedState}) {
        auto fragments = sessionFragmentDirectoryURLsForStateName(state, error);
        if (!fragments) return std::nullopt;
        for (const auto& fragment : *fragments) {
            auto files = logFileURLsForSessionFragmentDirectory(fragment, error);
            if (!files) return std::nullopt;
            out.insert(out.end(), files->begin(), files->end());
        }
    }
    return out;
}

std::optional<std::string> BBXEventLogSessionRepository::prepSessionFragmentDirectoryURLForStateName(
    const std::string& state, const std::string& fragmentDirectory, Error* error) {
    fs::path p = fs::path(fragmentDirectory).lexically_normal();
    if (!p.has_filename()) p = p.parent_path();
    std::vector<std::string> parts;
    for (const auto& part : p)
        if (!part.empty()) parts.push_back(part.string());
    if (parts.size() < 3) {
        setError(error, Error("BBXEventLogSessionRepository", -1, "not a session fragment directory"));
        return std::nullopt;
    }
    auto stateDir = stateDirectoryURLForStateName(state, error);
    if (!stateDir) return std::nullopt;
    std::string url = join(join(*stateDir, parts[parts.size() - 2]), parts.back() + ".prep");
    if (!createDirectoryWithURL(url, error)) return std::nullopt;
    return url;
}

std::optional<std::string> BBXEventLogSessionRepository::removePrepStatusFromSessionFragmentDirectoryURL(
    const std::string& prepDirectory, Error* error) {
    if (!isPrepDirectoryURL(prepDirectory)) {
        setError(error, Error("BBXEventLogSessionRepository", -1, "not a prep directory"));
        return std::nullopt;
    }
    std::string finalURL = join(parentOf(prepDirectory), withoutExtension(lastComponent(prepDirectory)));
    std::error_code ec;
    fs::remove_all(finalURL, ec);
    if (ec) {
        setError(error, fsError(ec, "remove " + finalURL));
        return std::nullopt;
    }
    fs::rename(prepDirectory, finalURL, ec);
    if (ec) {
        setError(error, fsError(ec, "rename " + prepDirectory));
        return std::nullopt;
    }
    return finalURL;
}

bool BBXEventLogSessionRepository::purgePrepSessionFragmentDirectoriesForStateName(const std::string& state,
                                                                                Error* error) {
    auto fragments = sessionFragmentDirectoryURLsForStateName(state, error);
    if (!fragments) return false;
    for (const auto& fragment : *fragments) {
        if (!isPrepDirectoryURL(fragment)) continue;
        std::error_code ec;
        fs::remove_all(fragment, ec);
        if (ec) {
            setError(error, fsError(ec, "remove " + fragment));
            return false;
        }
    }
    return true;
}

namespace {
bool removeIfEmpty(const std::string& dir, base::Error* error) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return true;
    if (!fs::is_empty(dir, ec)) return true;
    fs::remove(dir, ec);
    if (ec && ec != std::errc::directory_not_empty) {
        setError(error, fsError(ec, "remove " + dir));
        return false;
    }
    return true;
}
}  // namespace

bool BBXEventLogSessionRepository::discardSessionFragmentDirectory(const std::string& fragmentDirectory,
                                                                   Error* error) {
    // A hidden name is never listed; clean-up takes a leftover with its
    // session folder.
    fs::path fragment = fs::path(fragmentDirectory).lexically_normal();
    if (!fragment.has_filename()) fragment = fragment.parent_path();
    const fs::path aside = fragment.parent_path() / ("." + fragment.filename().string() + ".removed");
    std::error_code ec;
    fs::rename(fragment, aside, ec);
    const fs::path& doomed = ec ? fragment : aside;  // gone already, or it cannot be moved: delete in place
    fs::remove_all(doomed, ec);
    if (ec) {
        setError(error, fsError(ec, "remove " + fragmentDirectory));
        return false;
    }
    return true;
}

bool BBXEventLogSessionRepository::removeSessionFragmentDirectory(const std::string& fragmentDirectory,
                                                                  Error* error) {
    if (!discardSessionFragmentDirectory(fragmentDirectory, error)) return false;
    std::error_code ec;
    std::string session = sessionDirectoryURLForSessionFragmentDirectoryURL(fragmentDirectory);
    if (!removeIfEmpty(session, error)) return false;
    if (fs::exists(session, ec)) return true;
    return removeIfEmpty(stateDirectoryURLForSessionDirectoryURL(session), error);
}

bool BBXEventLogSessionRepository::removeLogFile(const std::string& logFile, Error* error) {
    std::error_code ec;
    fs::remove(logFile, ec);
    if (ec) {
        setError(error, fsError(ec, "remove " + logFile));
        return false;
    }
    std::string fragment = sessionFragmentDirectoryURLForLogFileURL(logFile);
    if (fs::is_directory(fragment, ec) && fs::is_empty(fragment, ec))
        return removeSessionFragmentDirectory(fragment, error);
    return true;
}

// --- clean-up ------------------------------------------------------------------

bool BBXEventLogSessionRepository::cleanUpDirectoryURL(const std::string& url, bool& shouldDelete, Error* error,
                                                       const Rule& rule) {
    shouldDelete = true;
    if (!isDirectoryURL(url)) return true;
    auto children = contentsOfDirectoryURL(url, error);
    if (!children) return false;
    for (const auto& child : *children) {
        bool deleteChild = false;
        if (!rule(child, deleteChild, error)) return false;
        if (deleteChild) {
            if (!deleteItemAtURL(child, error)) return false;
        } else {
            shouldDelete = false;
        }
    }
    return true;
}

bool BBXEventLogSessionRepository::cleanUpSessionFragmentDirectoryURL(const std::string& url, bool& shouldDelete,
                                                                      Error* error) {
    return cleanUpDirectoryURL(url, shouldDelete, error, [](const std::string& child, bool& del, Error*) {
        // cleanUpLogFileURL: only log and packaged files belong in a fragment.
        bool logFile = !isDirectoryURL(child) &&
                       (itemURLHasPathExtensionMatching(child, "log") || itemURLHasPathExtensionMatching(child, "zip"));
        del = !logFile;
        return true;
    });
}

bool BBXEventLogSessionRepository::Ignored::has(const Paths& list, const std::string& url) const {
    std::string s = standardized(url);
    for (const auto& item : list)
        if (item == s) return true;
    return false;
}

bool BBXEventLogSessionRepository::cleanUpSessionDirectoryURL(const std::string& url, const Ignored& ignored,
                                                              bool& shouldDelete, Error* error) {
    return cleanUpDirectoryURL(url, shouldDelete, error, [&](const std::string& child, bool& del, Error* err) {
        if (ignored.has(ignored.fragments, child)) {
            del = false;
            return true;
        }
        return cleanUpSessionFragmentDirectoryURL(child, del, err);
    });
}

bool BBXEventLogSessionRepository::cleanUpStateDirectoryURL(const std::string& url, const Ignored& ignored,
                                                            bool& shouldDelete, Error* error) {
    shouldDelete = true;
    if (!isDirectoryURL(url)) return true;
    auto children = contentsOfDirectoryURL(url, error);
    if (!children) return false;
    bool active = itemURLHasNameMatching(url, kActiveState);
    for (const auto& child : *children) {
        // A session a running copy writes to is not ours to clean; one we
        // claim stays claimed until it is deleted, so no writer can start
        // in it halfway.
        std::shared_ptr<void> held;
        if (active && ignored.claim && isDirectoryURL(child)) {
            held = ignored.claim(child);
            if (!held) {
                shouldDelete = false;
                continue;
            }
        }
        bool deleteChild = false;
        if (!cleanUpSessionDirectoryURL(child, ignored, deleteChild, error)) return false;
        if (deleteChild) {
            if (!deleteItemAtURL(child, error)) return false;
        } else {
            shouldDelete = false;
        }
    }
    return true;
}

bool BBXEventLogSessionRepository::cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(
    const std::string& openFragment, Error* error) {
    Paths fragments;
    if (!openFragment.empty()) fragments.push_back(openFragment);
    return cleanUpEventLogRepositoryIgnoring(fragments, nullptr, error);
}

bool BBXEventLogSessionRepository::cleanUpEventLogRepositoryIgnoring(const Paths& ignoredFragments,
                                                                     const SessionClaim& claim, Error* error) {
    Ignored ignored;
    for (const auto& f : ignoredFragments) ignored.fragments.push_back(standardized(f));
    ignored.claim = claim;
    auto version = statesDirectoryURL(error);
    if (!version) return false;
    bool unused = false;
    return cleanUpDirectoryURL(*version, unused, error, [&](const std::string& child, bool& del, Error* err) {
        if (!itemURLHasNameMatching(child, kActiveState) && !itemURLHasNameMatching(child, kPackagedState)) {
            del = true;
            return true;
        }
        if (!cleanUpStateDirectoryURL(child, ignored, del, err)) return false;
        if (del) {
            // Only while still empty: a copy may have just begun a session there.
            std::error_code ec;
            fs::remove(child, ec);
            del = false;
        }
        return true;
    });
}

bool BBXEventLogSessionRepository::removeSessionDirectoryIfEmpty(const std::string& sessionDirectory,
                                                                 Error* error) {
    Error listError;
    auto items = contentsOfDirectoryURL(sessionDirectory, &listError);
    if (!items || !items->empty()) return true;
    std::error_code ec;
    fs::remove_all(sessionDirectory, ec);
    if (ec) {
        setError(error, fsError(ec, "remove " + sessionDirectory));
        return false;
    }
    return true;
}
