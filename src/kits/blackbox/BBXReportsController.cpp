#include "kits/blackbox/BBXReportsController.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/Crypto.h"
#include "base/Gzip.h"
#include "base/Log.h"
#include "kits/blackbox/BBXApplication.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXInternalReport.h"
#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/BBXNetworkClient.h"
#include "kits/blackbox/BBXRecords.h"
#include "kits/blackbox/BBXSettings.h"
#include "kits/blackbox/crashtime/BBXContext.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLNetworkOperation.h"

namespace {

bool isRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A package's boundary is its file name without the extension.
std::string packageBoundary(const std::string& path) {
    std::string name = BBXLastPathComponent(path);
    auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

void syncDirectory(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

int BBXReportClaim(const std::string& path) {
    // Without blocking: a named pipe in a report's place is never waited on.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    // The lock may have been had only because the copy that held it has
    // removed (or replaced) the entry meanwhile.
    struct stat held, now;
    if (::fstat(fd, &held) != 0 || held.st_nlink == 0 || ::stat(path.c_str(), &now) != 0 ||
        held.st_ino != now.st_ino || held.st_dev != now.st_dev) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void BBXReportReleaseClaim(int claim) {
    if (claim >= 0) ::close(claim);
}

// ---- processing

std::string BBXProcessReportOperation::binaryImagePath() const { return report_->binaryImagePath(); }

std::shared_ptr<BBXThreadArray> BBXProcessReportOperation::threadArrayFromFile(const std::string& path) {
    if (::access(path.c_str(), F_OK) != 0) return nullptr;
    auto sections = BBXFileReadSections(path, false, [](const nlohmann::json& section) -> std::optional<nlohmann::json> {
        auto it = section.find("threads");
        if (it == section.end() || !it->is_array()) return std::nullopt;
        return *it;
    });
    if (!sections || sections->empty()) return nullptr;
    auto threads = std::make_shared<BBXThreadArray>();
    for (const auto& thread : sections->front()) {
        std::vector<BBXStackFrame> frames;
        auto trace = thread.is_object() ? thread.find("stacktrace") : thread.end();
        if (thread.is_object() && trace != thread.end() && trace->is_array()) {
            for (const auto& address : *trace) {
                if (address.is_number_unsigned()) frames.push_back(BBXStackFrame::stackFrameWithAddress(address.get<std::uint64_t>()));
            }
        }
        threads->push_back(std::move(frames));
    }
    return threads;
}

bool BBXProcessReportOperation::symbolicateFile(const std::string& path,
                                                const std::shared_ptr<BBXSymbolResolver>& resolver) {
    auto threads = threadArrayFromFile(path);
    if (!threads) return false;
    BBXSymbolicationOperation symbolication;
    symbolication.threadArray = threads;
    symbolication.symbolResolver = resolver;
    symbolication.main();
    BBXDemangleOperation demangle;
    demangle.threadArray = threads;
    demangle.main();
    BBXSerializeSymbolicatedFramesOperation serialize;
    serialize.threadArray = threads;
    serialize.outputPath = path + ".symbolicated";
    serialize.main();
    return true;
}

void BBXProcessReportOperation::main() {
    if (!resolver_ || !resolver_->loadBinaryImagesFromFile(binaryImagePath())) return;
    report_->enumerateSymbolicatableFilesInContent([&](const std::string& path) { symbolicateFile(path, resolver_); });
}

// ---- packaging

std::string BBXPackageReportOperation::reportPath() const { return report_->path(); }
std::string BBXPackageReportOperation::destinationDirectory() const { return fileManager_->preparedPath(); }
std::string BBXPackageReportOperation::packagedPathWithName(const std::string& name) const {
    return destinationDirectory() + "/" + name + ".multipartmime";
}

std::optional<std::string> BBXPackageReportOperation::compressFile(const std::string& path) {
    const std::string destination = path + ".gz";
    if (!base::gzipFile(path, destination)) {
        BBXSDKLog("Error: Failed to write all compressed bytes\n");
        ::unlink(destination.c_str());
        return std::nullopt;
    }
    return destination;
}

std::string BBXPackageReportOperation::fieldNameForCompressedFile(const std::string& fileName) {
    std::string name = fileName;
    for (int i = 0; i < 2; ++i) {
        auto dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0) break;
        name.resize(dot);
    }
    return name;
}

BBXPackageReportOperation::~BBXPackageReportOperation() { BBXReportReleaseClaim(claim_); }

int BBXPackageReportOperation::takeClaim() {
    int claim = claim_;
    claim_ = -1;
    return claim;
}

std::string BBXPackageReportOperation::boundaryForReportDirectory(const std::string& directoryName) {
    // Shaped like the encoder's own boundaries; a digest, so that nothing the
    // package carries (the report's id among its parts) spells it out.
    const std::string digits = base::hexEncode(base::sha1(directoryName), true);
    return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" + digits.substr(16, 4) +
           "-" + digits.substr(20, 12);
}

std::string BBXPackageReportOperation::packagePath() const {
    return packagedPathWithName(boundaryForReportDirectory(report_->directoryName()));
}

void BBXPackageReportOperation::main() {
    finalPath_.reset();
    // One name per report: packaging the same report again (after a run that
    // ended before its folder was removed) can never make a second package.
    const std::string boundary = boundaryForReportDirectory(report_->directoryName());
    const std::string packageFile = packagedPathWithName(boundary);
    // Written under a hidden name of its own and renamed once complete: a
    // package that is visible is always whole. It is claimed before it is
    // renamed, so no other copy can take it up once it is visible.
    const std::string temporaryPath =
        destinationDirectory() + "/." + boundary + "." + TRLMultipartMimeStreamEncoder::generateBoundary() + ".multipartmime.tmp";
    int fd = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ::close(fd);
    BBXReportReleaseClaim(claim_);
    claim_ = BBXReportClaim(temporaryPath);
    bool done = false;
    struct GiveUp {
        const std::string& path;
        bool& done;
        ~GiveUp() {
            if (!done) ::unlink(path.c_str());
        }
    } giveUp{temporaryPath, done};
    if (claim_ < 0) return;
    auto stream = std::make_shared<TRLFileOutputStream>(temporaryPath);
    auto encoder = TRLMultipartMimeStreamEncoder::encoderWithStream(stream, boundary);
    if (!encoder) return;

    bool partsFailed = false;
    const bool encoded = encoder->encode([&] {
        encoder->addValue(report_->APIKey(), "api_key");
        encoder->addValue(report_->identifier().empty() ? std::nullopt : std::optional(report_->identifier()),
                          "report_id");
        fileManager_->enumerateFilesInDirectory(reportPath(), [&](const std::string& path, const std::string& extension) {
            if (partsFailed || isCancelled() || extension == "gz" || !isRegularFile(path)) return;
            auto compressed = compressFile(path);
            if (!compressed) {
                partsFailed = true;
                return;
            }
            const std::string fileName = BBXLastPathComponent(*compressed);
            if (compressed->empty() || fileName.empty()) {
                BBXSDKLog("%s: Error: paths are invalid\n", "__33-[BBXPackageReportOperation main]_block_invoke_2");
                return;
            }
            if (!encoder->addFile(*compressed, fileName, std::string("application/x-gzip"),
                                  fieldNameForCompressedFile(fileName))) {
                partsFailed = true;
            }
        });
    });
    stream.reset();
    encoder.reset();
    if (!encoded || partsFailed || isCancelled()) return;
    if (BBXRenameWithoutReplacing(temporaryPath, packageFile) != 0) {
        if (errno != EEXIST) return;
        // Already packaged: the package there is this report's, and it is
        // the one to send; the claim taken here was on the copy just dropped.
        BBXReportReleaseClaim(claim_);
        claim_ = -1;
    } else {
        done = true;
    }
    syncDirectory(destinationDirectory());
    finalPath_ = packageFile;
}

// ---- controller

BBXReportsController::BBXReportsController(base::SerialQueue* queue, BBXReportsControllerDelegate* delegate,
                                           std::shared_ptr<BBXNetworkClient> client,
                                           std::shared_ptr<BBXFileManager> fileManager)
    : queue_(queue), delegate_(delegate), client_(std::move(client)), fileManager_(std::move(fileManager)) {}

BBXReportsController::~BBXReportsController() {
    std::lock_guard lock(claimsMutex_);
    for (const auto& [path, claim] : packageClaims_) BBXReportReleaseClaim(claim);
}

bool BBXReportsController::holdPackageClaim(const std::string& path, int claim) {
    std::lock_guard lock(claimsMutex_);
    auto it = packageClaims_.find(path);
    if (it != packageClaims_.end()) {
        if (claim >= 0 && claim != it->second) BBXReportReleaseClaim(claim);
        return true;
    }
    if (claim < 0) claim = BBXReportClaim(path);
    if (claim < 0) return false;
    packageClaims_[path] = claim;
    return true;
}

void BBXReportsController::releasePackageClaim(const std::string& path) {
    std::lock_guard lock(claimsMutex_);
    auto it = packageClaims_.find(path);
    if (it == packageClaims_.end()) return;
    BBXReportReleaseClaim(it->second);
    packageClaims_.erase(it);
}

std::shared_ptr<BBXSettings> BBXReportsController::settings() {
    auto s = delegate_ ? delegate_->settingsForReportsController(*this) : nullptr;
    return s ? s : std::make_shared<BBXSettings>();
}
std::string BBXReportsController::APIKey() { return delegate_ ? delegate_->APIKeyForReportsController(*this) : ""; }
std::string BBXReportsController::appBundleIdentifier() {
    return delegate_ ? delegate_->bundleIdentifierForReportsController(*this) : "";
}
std::string BBXReportsController::reportEndpoint() { return settings()->reportsEndpoint(); }
std::string BBXReportsController::reportURL() {
    auto builder = TRLURLBuilder::URLWithBase(reportEndpoint());
    builder.appendComponent("/sdk-api/v1/platforms/");
    builder.appendComponent("mac");
    builder.appendComponent("/apps/");
    builder.escapeAndAppendComponent(appBundleIdentifier());
    builder.appendComponent("/reports");
    return builder.URLString();
}
bool BBXReportsController::submissionEnabled() { return settings()->shouldSubmitReports(); }
bool BBXReportsController::packagingEnabled() { return settings()->shouldPackageReports(); }
std::string BBXReportsController::localeIdentifier() { return TRLNetworkOperation::localeIdentifier(); }

bool BBXReportsController::prepareAndSubmitReport(const std::shared_ptr<BBXInternalReport>& report, bool asUrgent,
                                                  bool withProcessing) {
    if (!report) return false;
    // Held until the report's folder is gone: another copy started at the
    // same time skips it.
    const int claim = BBXReportClaim(report->path());
    if (claim < 0) {
        spdlog::info("[Blackbox:Crash:Reports] Report {} is being handled by another copy", report->directoryName());
        return false;
    }
    struct Release {
        int claim;
        ~Release() { BBXReportReleaseClaim(claim); }
    } release{claim};
    bool result = false;
    BBXApplicationActivity(0xC000, "Blackbox Crash Report Processing", [&] {
        if (withProcessing) {
            fileManager_->trimDirectory(fileManager_->processingPath(), kMaxProcessingReports - 1, kMaxProcessingBytes);
            if (!fileManager_->moveItemAtPath(report->path(), fileManager_->processingPath())) {
                spdlog::error("[Blackbox:Crash:Reports] Unable to move report for processing");
                return;
            }
            report->setPath(fileManager_->processingPath() + "/" + report->directoryName());
            BBXProcessReportOperation(report, std::make_shared<BBXSymbolResolver>()).main();
        }
        if (!packagingEnabled()) {
            spdlog::info("[Blackbox:Crash:Reports] Report packaging disabled");
            return;
        }
        BBXPackageReportOperation package(report, fileManager_);
        const std::string packagePath = package.packagePath();
        if (isRegularFile(packagePath)) {
            // An earlier run packaged it and ended before it removed the
            // folder: that package is the report, sent once like any other.
            spdlog::info("[Blackbox:Crash:Reports] Report {} was packaged already", report->directoryName());
        } else {
            package.main();
            if (!package.finalPath()) {
                spdlog::error("[Blackbox:Crash:Reports] Unable to package report");
                return;
            }
            holdPackageClaim(packagePath, package.takeClaim());
        }
        if (!fileManager_->removeItemAtPath(report->path())) {
            spdlog::error("[Blackbox:Crash:Reports] Unable to remove a processing item");
        }
        if (BBXDebugMode()) spdlog::info("[Blackbox:Crash:Reports] Packaged id {} for submission", report->identifier());
        fileManager_->trimDirectory(fileManager_->preparedPath(), kMaxPreparedPackages, kMaxPreparedBytes, packagePath);
        // The folder is this call's own (claimed above), gone or not.
        result = uploadPackage(packagePath, asUrgent, false);
    });
    return result;
}

bool BBXReportsController::removeFolderLeftBesidePackage(const std::string& path) {
    const std::string boundary = packageBoundary(path);
    for (const auto& folder : fileManager_->processingPathContents()) {
        if (BBXPackageReportOperation::boundaryForReportDirectory(BBXLastPathComponent(folder)) != boundary) continue;
        const int claim = BBXReportClaim(folder);
        if (claim < 0) return ::access(folder.c_str(), F_OK) != 0;  // held by the copy that packages it
        spdlog::info("[Blackbox:Crash:Reports] Removing {}: its report was packaged already", folder);
        fileManager_->removeItemAtPath(folder);
        BBXReportReleaseClaim(claim);
    }
    return true;
}

bool BBXReportsController::uploadPackagedReportAtPath(const std::string& path, bool asUrgent) {
    return uploadPackage(path, asUrgent, true);
}

bool BBXReportsController::uploadPackage(const std::string& path, bool asUrgent, bool removeLeftoverFolder) {
    if (!submissionEnabled()) {
        spdlog::info("[Blackbox:Crash:Reports] Submission disabled");
        return false;
    }
    if (removeLeftoverFolder && !removeFolderLeftBesidePackage(path)) {
        spdlog::info("[Blackbox:Crash:Reports] {} is being handled by another copy", BBXLastPathComponent(path));
        return false;
    }
    if (!holdPackageClaim(path)) {
        spdlog::info("[Blackbox:Crash:Reports] {} is being sent by another copy", BBXLastPathComponent(path));
        return false;
    }
    if (BBXDebugMode()) spdlog::info("[Blackbox:Crash:Reports] Submitting report{}", asUrgent ? " as urgent" : "");
    return submitPackageMultipartMimeAtPath(path, asUrgent);
}

bool BBXReportsController::submitPackageMultipartMimeAtPath(const std::string& path, bool synchronously) {
    spdlog::info("[Blackbox:Crash:Reports] Submitting {} {}", synchronously ? "sync" : "async", path);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || st.st_size == 0) {
        if (BBXDebugMode()) spdlog::info("[Blackbox:Crash:Reports] Already-submitted report being ignored");
        return false;
    }
    const double timeout = synchronously && !(client_ && client_->supportsBackgroundRequests()) ? 2 : 10;
    TRLURLRequest request = mutableRequestWithURL(reportURL(), timeout);
    request.method = "POST";
    if (!fillInRequest(request, path)) {
        spdlog::error("[Blackbox:Crash:Reports] Could not determine size of multipart mime file");
        return false;
    }
    request.bodyFile = path;
    if (!client_) return false;
    client_->startUploadRequest(request, path, synchronously);
    return true;
}

TRLURLRequest BBXReportsController::mutableRequestWithURL(const std::string& url, double timeout) {
    return requestWithCommonHeaders(url, timeout, APIKey());
}

TRLURLRequest BBXReportsController::requestWithCommonHeaders(const std::string& url, double timeout,
                                                             const std::string& apiKey) {
    TRLURLRequest r;
    r.url = url;
    r.timeoutInterval = timeout;
    r.cachePolicy = TRLURLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData;
    const std::string locale = localeIdentifier();
    r.setValue(std::string("Blackbox Mac SDK/") + kBBXKitDisplayVersion, "User-Agent");
    r.setValue("application/json", "Accept");
    r.setValue("utf-8", "Accept-Charset");
    r.setValue(locale, "Accept-Language");
    r.setValue(locale, "Content-Language");
    r.setValue(TRLNetworkOperation::developerToken(), "X-Blackbox-Developer-Token");
    r.setValue(kBBXKitBundleIdentifier, "X-Blackbox-API-Client-Id");
    r.setValue(kBBXKitDisplayVersion, "X-Blackbox-API-Client-Display-Version");
    r.setValue(kBBXKitBuildVersion, "X-Blackbox-API-Client-Build-Version");
    r.setValue(apiKey, "X-Blackbox-API-Key");
    return r;
}

bool BBXReportsController::fillInRequest(TRLURLRequest& request, const std::string& path) {
    request.setValue(TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(packageBoundary(path)),
                     "Content-Type");
    auto size = fileManager_->fileSizeAtPath(path);
    if (!size) return false;
    request.setValue(std::to_string(*size), "Content-Length");
    return true;
}

bool BBXReportsController::isPermanentFailure(const base::Error& error) {
    return error.domain == kTRLNetworkErrorDomain && error.code == kTRLNetworkErrorClient;
}

void BBXReportsController::reportUploadAtPath(const std::string& path, const std::optional<base::Error>& error) {
    if (BBXDebugMode()) spdlog::info("[Blackbox:Crash:Reports] completed submission of {}", path);
    if (!error) {
        cleanUpSubmittedReportAtPath(path);
    } else if (isPermanentFailure(*error)) {
        // The server refuses this package for good: retrying it would only
        // send it again every few minutes for the rest of the run.
        spdlog::error("[Blackbox:Crash:Reports] Report refused by the server ({}), removing {}",
                      error->localizedDescription(), path);
        cleanUpSubmittedReportAtPath(path);
    }
    if (delegate_) delegate_->reportsControllerDidCompletePackageSubmission(*this, path, error);
}

bool BBXReportsController::cleanUpSubmittedReportAtPath(const std::string& path) {
    const bool removed = fileManager_->removeItemAtPath(path);
    // Released only once the package is gone, so no other copy sends it again.
    releasePackageClaim(path);
    if (!removed) {
        spdlog::error("[Blackbox:Crash:Reports] Unable to remove packaged submission");
        return false;
    }
    return true;
}
