#pragma once
// One report directory: its record files and the metadata the launch wrote.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class BBXInternalReport {
public:
    // Null without a path or an identifier.
    static std::shared_ptr<BBXInternalReport> initWithPath(const std::string& path, const std::string& executionIdentifier);
    // Opens a directory written by an earlier execution. Its identifier is the
    // metadata's "session_id"; when the metadata is missing or cut short the
    // directory's own name (the execution identifier it was made for) stands in,
    // so that the report can still be judged and removed.
    static std::shared_ptr<BBXInternalReport> reportWithPath(const std::string& path);
    BBXInternalReport(std::string path, std::string identifier);

    static std::optional<std::vector<nlohmann::json>> readMetadataAtPath(const std::string& path);
    // The metadata's records (each a one-key object), read on first use.
    std::vector<nlohmann::json> metadataSections();

    const std::string& identifier() const { return identifier_; }
    std::string path() const;
    // Points the report at the place its directory was moved to.
    void setPath(std::string path);
    std::string directoryName() const;
    std::string pathForContentFile(const std::string& name) const;
    std::string metadataPath() const { return pathForContentFile("metadata.bbxrecord"); }
    std::string binaryImagePath() const { return pathForContentFile("binary_images.bbxrecord"); }

    static const std::vector<std::string>& crashFilenames();
    bool isCrash() const;
    bool needsToBeSubmitted() const;
    bool checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& names) const;
    // Each crash record file's path, in order, whether or not it exists.
    void enumerateSymbolicatableFilesInContent(const std::function<void(const std::string& path)>& block) const;

    std::optional<std::string> APIKey();
    std::optional<std::string> bundleVersion();
    std::optional<std::string> bundleShortVersionString();
    std::optional<std::chrono::system_clock::time_point> dateCreated();
    std::optional<std::string> OSVersion();
    std::optional<std::string> OSBuildVersion();
    std::optional<nlohmann::json> customKeys() const { return std::nullopt; }

private:
    std::optional<std::string> metadataString(const char* section, const char* key);

    mutable std::mutex mutex_;
    std::string path_;
    std::string identifier_;
    std::optional<std::vector<nlohmann::json>> sections_;
};
