#pragma once
// Turns a stored report into an upload: moves its directory into
// processing, symbolicates its crash records, packs every file gzipped into
// one multipart package in prepared, removes the directory and posts the
// package to the reports endpoint. Removes a package once it is delivered.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/Error.h"
#include "base/Executor.h"
#include "kits/blackbox/BBXSymbolication.h"
#include "kits/trellis/TRLURLRequest.h"

class BBXFileManager;
class BBXInternalReport;
class BBXNetworkClient;
class BBXReportsController;
class BBXSettings;

class BBXReportsControllerDelegate {
public:
    virtual ~BBXReportsControllerDelegate() = default;
    virtual void reportsControllerDidCompletePackageSubmission(BBXReportsController& controller, const std::string& path,
                                                               const std::optional<base::Error>& error) = 0;
    virtual void reportsControllerDidCompleteAllSubmissions(BBXReportsController& controller) = 0;
    virtual std::shared_ptr<BBXSettings> settingsForReportsController(BBXReportsController& controller) = 0;
    virtual std::string APIKeyForReportsController(BBXReportsController& controller) = 0;
    virtual std::string bundleIdentifierForReportsController(BBXReportsController& controller) = 0;
};

// Symbolicates a report's crash record files beside them.
class BBXProcessReportOperation {
public:
    BBXProcessReportOperation(std::shared_ptr<BBXInternalReport> report, std::shared_ptr<BBXSymbolResolver> resolver)
        : report_(std::move(report)), resolver_(std::move(resolver)) {}
    void main();
    std::string binaryImagePath() const;
    // The first "threads" record's stack traces as frames; none when the
    // file has no records.
    static std::shared_ptr<BBXThreadArray> threadArrayFromFile(const std::string& path);
    static bool symbolicateFile(const std::string& path, const std::shared_ptr<BBXSymbolResolver>& resolver);

private:
    std::shared_ptr<BBXInternalReport> report_;
    std::shared_ptr<BBXSymbolResolver> resolver_;
};

// Packs a report directory into prepared/<boundary>.multipartmime, the
// boundary made from the directory's name (its execution identifier).
class BBXPackageReportOperation {
public:
    BBXPackageReportOperation(std::shared_ptr<BBXInternalReport> report, std::shared_ptr<BBXFileManager> fileManager)
        : report_(std::move(report)), fileManager_(std::move(fileManager)) {}
    void main();
    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }
    // The gzip copy beside the file ("<path>.gz"); none when it could not be
    // written whole.
    static std::optional<std::string> compressFile(const std::string& path);
    // "exception.bbxrecord.gz" -> "exception": the name without its last two extensions.
    static std::string fieldNameForCompressedFile(const std::string& fileName);
    std::string reportPath() const;
    std::string destinationDirectory() const;
    std::string packagedPathWithName(const std::string& name) const;
    // The boundary, and so the package's name, of the report directory of
    // that name: the same each time the report is packaged.
    static std::string boundaryForReportDirectory(const std::string& directoryName);
    // Where this report's package is (or will be).
    std::string packagePath() const;
    const std::optional<std::string>& finalPath() const { return finalPath_; }
    // The claim on the package at finalPath(), taken before it became
    // visible (-1 when none); the caller owns it from here.
    int takeClaim();
    ~BBXPackageReportOperation();

private:
    std::shared_ptr<BBXInternalReport> report_;
    std::shared_ptr<BBXFileManager> fileManager_;
    std::optional<std::string> finalPath_;
    bool cancelled_ = false;
    int claim_ = -1;
};

// A claim on an earlier report's folder or package, so that two copies of
// the program started together never handle (and send) the same one: an
// exclusive advisory lock on the entry itself, which follows it across
// renames and ends with the process. The file descriptor, or -1 when another
// copy holds it or the entry is gone (or was replaced) by now.
int BBXReportClaim(const std::string& path);
void BBXReportReleaseClaim(int claim);

class BBXReportsController {
public:
    BBXReportsController(base::SerialQueue* queue, BBXReportsControllerDelegate* delegate,
                         std::shared_ptr<BBXNetworkClient> client, std::shared_ptr<BBXFileManager> fileManager);

    // Runs on the calling thread; true when an upload was started.
    bool prepareAndSubmitReport(const std::shared_ptr<BBXInternalReport>& report, bool asUrgent, bool withProcessing);
    bool uploadPackagedReportAtPath(const std::string& path, bool asUrgent);
    bool submitPackageMultipartMimeAtPath(const std::string& path, bool synchronously);
    TRLURLRequest mutableRequestWithURL(const std::string& url, double timeout);
    // The kit's common request headers (also used by the beta check).
    static TRLURLRequest requestWithCommonHeaders(const std::string& url, double timeout, const std::string& apiKey);
    bool fillInRequest(TRLURLRequest& request, const std::string& path);
    // The upload client's word on a package.
    void reportUploadAtPath(const std::string& path, const std::optional<base::Error>& error);
    bool cleanUpSubmittedReportAtPath(const std::string& path);

    std::shared_ptr<BBXSettings> settings();
    std::string APIKey();
    std::string appBundleIdentifier();
    std::string reportEndpoint();
    std::string reportURL();
    bool submissionEnabled();
    bool packagingEnabled();
    static std::string localeIdentifier();

    // A client error says the server will never take the package.
    static bool isPermanentFailure(const base::Error& error);

    // How much may wait in the two stages; the oldest entries go first.
    static constexpr std::size_t kMaxProcessingReports = 32;
    static constexpr std::uint64_t kMaxProcessingBytes = 64ull * 1024 * 1024;
    static constexpr std::size_t kMaxPreparedPackages = 32;
    static constexpr std::uint64_t kMaxPreparedBytes = 64ull * 1024 * 1024;

    ~BBXReportsController();

private:
    // A report's folder is always claimed before its package, by every copy.
    bool uploadPackage(const std::string& path, bool asUrgent, bool removeLeftoverFolder);
    // Removes the processing folder of the report this package was made
    // from, left there by a run that ended between the two steps; false
    // when another copy is handling that folder (and so the package).
    bool removeFolderLeftBesidePackage(const std::string& path);
    // Claims this copy holds on packages until they are sent or removed.
    bool holdPackageClaim(const std::string& path, int claim = -1);
    void releasePackageClaim(const std::string& path);

    std::mutex claimsMutex_;
    std::map<std::string, int> packageClaims_;
    base::SerialQueue* queue_;
    BBXReportsControllerDelegate* delegate_;
    std::shared_ptr<BBXNetworkClient> client_;
    std::shared_ptr<BBXFileManager> fileManager_;
};

inline constexpr const char* kBBXKitDisplayVersion = "3.4.1";
inline constexpr const char* kBBXKitBuildVersion = "92";
inline constexpr const char* kBBXKitBundleIdentifier = "io.blackbox.mac";
