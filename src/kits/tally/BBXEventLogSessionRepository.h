#pragma once
// The on-disk tree of analytics events:
//   root/v1/<ACTIVE|PACKAGED>/<ts>_<session>/<ts>_<fragment>/<priority>.log[.zip]
// Events are written under ACTIVE; packaged fragments wait under PACKAGED.
// Listings skip hidden items and are sorted by name.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

class BBXEventLogSessionRepository {
public:
    static constexpr const char* kVersionDirectoryName = "v1";
    static constexpr const char* kActiveState = "ACTIVE";
    static constexpr const char* kPackagedState = "PACKAGED";

    explicit BBXEventLogSessionRepository(std::string rootDirectoryURL);
    static BBXEventLogSessionRepository initWithRootDirectoryPath(const std::string& path) {
        return BBXEventLogSessionRepository(path);
    }
    const std::string& rootDirectoryURL() const { return root_; }

    using Paths = std::vector<std::string>;
    using Error = base::Error;

    static std::string versionDirectoryName() { return kVersionDirectoryName; }
    static std::optional<std::string> activeEventLogFileNameForPriority(std::int64_t priority);
    // 0, 1 or 2 for "0.log".."2.log" and their packaged forms; -1 otherwise.
    static std::int64_t priorityForEventLogFileWithName(std::string_view name);
    static std::string sessionDirectoryNameWithIdentifier(const std::string& identifier, std::uint64_t timestamp);
    static std::string sessionFragmentDirectoryNameWithIdentifier(const std::string& identifier,
                                                                  std::uint64_t timestamp);
    static std::string prepDirectoryForDirectoryURL(const std::string& url);
    static bool isPrepDirectoryURL(const std::string& url);
    static std::string stateDirectoryURLForSessionDirectoryURL(const std::string& url);
    static std::string sessionDirectoryURLForSessionFragmentDirectoryURL(const std::string& url);
    static std::string sessionFragmentDirectoryURLForLogFileURL(const std::string& url);
    // Lexically normalised form, used to compare directory URLs.
    static std::string standardized(const std::string& url);

    // Each of these creates the directory when it is missing.
    std::optional<std::string> statesDirectoryURL(Error* error = nullptr);
    std::optional<std::string> stateDirectoryURLForStateName(const std::string& state, Error* error = nullptr);
    std::optional<std::string> sessionDirectoryURLForStateName(const std::string& state,
                                                               const std::string& sessionIdentifier,
                                                               std::uint64_t sessionTimestamp,
                                                               Error* error = nullptr);
    std::optional<std::string> sessionFragmentDirectoryURLForStateName(
        const std::string& state, const std::string& sessionIdentifier, std::uint64_t sessionTimestamp,
        const std::string& fragmentIdentifier, std::uint64_t fragmentTimestamp, Error* error = nullptr);
    // The fragment directory is created; the file is not.
    std::optional<std::string> eventLogFileURLForStateName(const std::string& state,
                                                           const std::string& sessionIdentifier,
                                                           std::uint64_t sessionTimestamp,
                                                           const std::string& fragmentIdentifier,
                                                           std::uint64_t fragmentTimestamp, std::int64_t priority,
                                                           Error* error = nullptr);

    std::optional<Paths> sessionDirectoryURLsForStateName(const std::string& state, Error* error = nullptr);
    std::optional<Paths> sessionFragmentDirectoryURLsForSessionDirectory(const std::string& sessionDirectory,
                                                                         Error* error = nullptr);
    // Fragment directories of every session of a state, sessions in order.
    std::optional<Paths> sessionFragmentDirectoryURLsForStateName(const std::string& state, Error* error = nullptr);
    std::optional<Paths> logFileURLsForSessionFragmentDirectory(const std::string& fragmentDirectory,
                                                                Error* error = nullptr);
    std::optional<Paths> logFileURLsForAllStates(Error* error = nullptr);

    std::optional<std::string> prepSessionFragmentDirectoryURLForStateName(const std::string& state,
                                                                           const std::string& fragmentDirectory,
                                                                           Error* error = nullptr);
    std::optional<std::string> removePrepStatusFromSessionFragmentDirectoryURL(const std::string& prepDirectory,
                                                                               Error* error = nullptr);
    bool purgePrepSessionFragmentDirectoriesForStateName(const std::string& state, Error* error = nullptr);
    // Removes the fragment, then its session and state directories when left empty.
    bool removeSessionFragmentDirectory(const std::string& fragmentDirectory, Error* error = nullptr);
    // Removes the fragment alone, all at once: it is renamed out of sight
    // first, so a process killed halfway leaves none of its files to be
    // packaged or sent again. Safe from any thread, beside maintenance work
    // on the folders above it.
    static bool discardSessionFragmentDirectory(const std::string& fragmentDirectory, Error* error = nullptr);
    bool removeLogFile(const std::string& logFile, Error* error = nullptr);
    // Removes everything that is not a log file in its place, and every
    // emptied directory, leaving the open fragment alone.
    bool cleanUpEventLogRepositoryIgnorningSessionFragmentDirectoryURL(const std::string& openFragment,
                                                                        Error* error = nullptr);
    // Asked before maintenance works inside a session folder of state ACTIVE:
    // a handle to hold while it works there (and removes the folder), or null
    // when a running writer holds the session, which is then left alone.
    using SessionClaim = std::function<std::shared_ptr<void>(const std::string& sessionDirectory)>;
    // The same, leaving alone every fragment listed (those still written) and
    // every ACTIVE session `claim` refuses; no claim: every session is free.
    bool cleanUpEventLogRepositoryIgnoring(const Paths& ignoredFragments, const SessionClaim& claim,
                                           Error* error = nullptr);
    // Removes a session folder that holds nothing visible (its hidden lock
    // goes with it); true when it is gone or still holds something.
    bool removeSessionDirectoryIfEmpty(const std::string& sessionDirectory, Error* error = nullptr);

    // Support operations.
    enum class ItemType { File = 0, Directory = 1 };
    bool deleteItemAtPath(const std::string& path, ItemType ifNotOfType, Error* error = nullptr);
    bool createFileWithURL(const std::string& url, Error* error = nullptr);
    bool createDirectoryWithURL(const std::string& url, Error* error = nullptr);
    bool deleteItemAtURL(const std::string& url, Error* error = nullptr);
    static bool isDirectoryURL(const std::string& url);
    static bool itemURLHasNameMatching(const std::string& url, const std::string& name);
    static bool itemURLHasPathExtensionMatching(const std::string& url, const std::string& extension);
    // Visible items of a directory, sorted by name.
    std::optional<Paths> contentsOfDirectoryURL(const std::string& url, Error* error = nullptr);

private:
    using Rule = std::function<bool(const std::string& child, bool& shouldDelete, Error* error)>;
    bool cleanUpDirectoryURL(const std::string& url, bool& shouldDelete, Error* error, const Rule& rule);
    struct Ignored {
        Paths fragments;
        SessionClaim claim;
        bool has(const Paths& list, const std::string& url) const;
    };
    bool cleanUpStateDirectoryURL(const std::string& url, const Ignored& ignored, bool& shouldDelete, Error* error);
    bool cleanUpSessionDirectoryURL(const std::string& url, const Ignored& ignored, bool& shouldDelete,
                                    Error* error);
    bool cleanUpSessionFragmentDirectoryURL(const std::string& url, bool& shouldDelete, Error* error);
    std::optional<Paths> directoriesIn(const std::string& url, Error* error);
    std::string root_;
};
