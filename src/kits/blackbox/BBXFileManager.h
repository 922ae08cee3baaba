#pragma once
// The crash kit's directory tree in the caches folder: the report of the
// running execution ("v3/active/<execution>"), reports being processed
// ("v3/processing"), and upload packages waiting to be sent ("v3/prepared").
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class BBXInternalReport;

// Renames `from` to `to`, never over an entry already named `to`: 0, or -1
// with errno set (EEXIST or ENOTEMPTY when the name is taken). Where the
// filesystem takes no flags on a rename (NFS and some FUSE filesystems answer
// EINVAL or ENOSYS), a file is linked under its new name and then unlinked,
// and a folder is renamed plainly, which fails on a folder that is not empty.
int BBXRenameWithoutReplacing(const std::string& from, const std::string& to);

class BBXFileManager {
public:
    // Root: Caches/"io.blackbox.data"/<bundle identifier namespace>.
    BBXFileManager();
    // A manager over another root (empty: none; every operation then fails).
    explicit BBXFileManager(std::string rootPath);

    // The root for a namespace; empty when the namespace could name a folder
    // other than its own ("", ".", "..").
    static std::string rootPathForNamespace(const std::string& pathNamespace);

    const std::string& rootPath() const { return root_; }
    std::string pathNamespace() const;
    std::string structurePath() const;
    std::string activePath() const;
    std::string pendingPath() const;
    std::string processingPath() const;
    std::string preparedPath() const;

    bool createDirectoryAtPath(const std::string& path);
    bool removeItemAtPath(const std::string& path);
    bool removeContentsOfDirectoryAtPath(const std::string& path);
    // Moves `path` into `directory` under its own name; never replaces an
    // entry already there.
    bool moveItemAtPath(const std::string& path, const std::string& directory);
    bool moveItemsFromDirectory(const std::string& from, const std::string& to);
    // Entries in name order; names beginning with "." are skipped.
    void enumerateFilesInDirectory(const std::string& directory,
                                   const std::function<void(const std::string& path, const std::string& extension)>& block);
    std::vector<std::string> contentsOfDirectory(const std::string& directory);
    std::optional<std::uint64_t> fileSizeAtPath(const std::string& path);

    std::vector<std::string> activePathContents() { return contentsOfDirectory(activePath()); }
    std::vector<std::string> processingPathContents() { return contentsOfDirectory(processingPath()); }
    std::vector<std::string> preparedPathContents() { return contentsOfDirectory(preparedPath()); }

    bool prepareForNewLaunch();
    // Creates active/<identifier>; `beforePublishing` gets the directory
    // before any other copy can see it (false gives up).
    std::optional<std::string> setupNewPathForExecutionIdentifier(
        const std::string& identifier, const std::function<bool(const std::string& directory)>& beforePublishing = {});
    // Removes the folder of the earlier layout ("sendable") and nothing else.
    void removeLegacyDirectories();

    bool removeContentsOfProcessingPath() { return removeContentsOfDirectoryAtPath(processingPath()); }
    bool removeContentsOfPendingPath() { return removeContentsOfDirectoryAtPath(pendingPath()); }
    bool removeContentsOfAllPaths();

    void enumerateReportsInProcessingDirectoryUsingBlock(
        const std::function<void(const std::shared_ptr<BBXInternalReport>& report, const std::string& path)>& block);
    void enumerateFilesInActiveDirectoryUsingBlock(
        const std::function<void(const std::string& path, const std::string& extension)>& block) {
        enumerateFilesInDirectory(activePath(), block);
    }
    void enumerateFilesInPreparedDirectoryUsingBlock(
        const std::function<void(const std::string& path, const std::string& extension)>& block) {
        enumerateFilesInDirectory(preparedPath(), block);
    }
    bool moveProcessingContentsToPrepared() { return moveItemsFromDirectory(processingPath(), preparedPath()); }
    bool movePendingToProcessing() { return moveItemsFromDirectory(pendingPath(), processingPath()); }

    // Deletes the oldest entries of `directory` (by modification time) until
    // at most `maxCount` entries of at most `maxBytes` together remain;
    // `keep` is never deleted. Returns how many were deleted.
    std::size_t trimDirectory(const std::string& directory, std::size_t maxCount, std::uint64_t maxBytes,
                              const std::string& keep = {});
    // Deletes hidden temporary packages ("*.tmp") in prepared, and unlocked
    // hidden report folders (".*.new") in active, older than
    // `minimumAgeSeconds`: what a process killed while packaging, or while
    // making its run's report folder, left.
    std::size_t removeStaleTemporaryPackages(double minimumAgeSeconds);

private:
    std::string under(const char* name) const;
    std::string root_;
};

// The last path component and its extension ("" when none).
std::string BBXLastPathComponent(const std::string& path);
std::string BBXPathExtension(const std::string& path);
