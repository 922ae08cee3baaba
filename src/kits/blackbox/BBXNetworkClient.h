#pragma once
// Uploads finished report packages from their files: as tasks of a URL
// session that are recognised by their description (the package's path
// below the report root), or, for an urgent report, with one blocking
// request. Completions, retries and duplicate checks run on the kit's work
// queue.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "base/Error.h"
#include "base/Executor.h"
#include "base/Scheduler.h"
#include "kits/trellis/BBXURLSession.h"
#include "kits/trellis/TRLCertificatePinner.h"
#include "kits/trellis/TRLURLRequest.h"

class BBXFileManager;
class BBXNetworkClient;

inline constexpr const char* kBBXNetworkErrorDomain = "BBXNetworkError";
inline constexpr int kBBXNetworkErrorUnreadableFile = -2;

class BBXNetworkClientDelegate {
public:
    virtual ~BBXNetworkClientDelegate() = default;
    virtual bool networkClientCanUseBackgroundSessions(BBXNetworkClient& client) = 0;
    // `error` is empty when the package was delivered.
    virtual void networkClientDidFinishUploadWithPath(BBXNetworkClient& client, const std::string& path,
                                                      const std::optional<base::Error>& error) {
        (void)client, (void)path, (void)error;
    }
};

class BBXNetworkClient : public std::enable_shared_from_this<BBXNetworkClient> {
public:
    // `pinnedCertificates`: the roots the uploads trust (the SDK's own when
    // not given). The queue and the delegate must outlive the client's work.
    static std::shared_ptr<BBXNetworkClient> initWithQueue(
        base::SerialQueue* queue, std::shared_ptr<BBXFileManager> fileManager, BBXNetworkClientDelegate* delegate,
        std::optional<TRLCertificateList> pinnedCertificates = std::nullopt);
    ~BBXNetworkClient();

    bool supportsBackgroundRequests() const;
    // What the session layer says: no session here survives the process.
    bool NSURLSessionAvailable() const { return BBXURLSession::NSURLSessionShouldBeUsed(); }
    std::shared_ptr<BBXURLSession> session();
    void attemptToReconnectBackgroundSessionWithCompletionBlock(base::Task block);

    void startUploadRequest(const TRLURLRequest& request, const std::string& filePath, bool immediately);
    void startImmediateUploadRequest(const TRLURLRequest& request, const std::string& filePath);
    void startNewUploadRequest(const TRLURLRequest& request, const std::string& filePath);
    void checkForExistingTaskMatchingDescription(const std::string& description, std::function<void(bool)> block);

    std::optional<std::string> relativeTaskPathForAbsolutePath(const std::string& path) const;
    std::string absolutePathForRelativeTaskPath(const std::string& description) const;
    std::string rootPath() const;

    // Delivered: 200, 201, 202 or 204 (on both upload paths).
    static bool isDeliveredStatus(long status);
    // The server's retry pause, held to [1 s, 1 h].
    static double retryDelayForResponse(const TRLHTTPURLResponse* response);
    static constexpr unsigned kMaxRestarts = 5;

    // Called by the session (on the work queue) when a task ends.
    void handleTaskCompleted(BBXURLSessionTask& task, const std::optional<base::Error>& error);
    void handleTaskDescriptionCompletedWithError(const std::string& description, const std::optional<base::Error>& error);

    // Tests time the retries.
    void setScheduler(base::Scheduler* scheduler) { scheduler_ = scheduler; }
    std::size_t uploadsInFlight() const;

private:
    BBXNetworkClient() = default;
    class SessionDelegate;
    void runAfterRetryValueFromResponse(const TRLHTTPURLResponse* response, base::Task block);
    void restartTask(const TRLURLRequest& request, const std::string& description);
    void reportFinished(const std::string& path, const std::optional<base::Error>& error);
    std::shared_ptr<BBXURLSession> makeSession(bool forImmediateUploads);

    base::SerialQueue* queue_ = nullptr;
    std::shared_ptr<BBXFileManager> fileManager_;
    BBXNetworkClientDelegate* delegate_ = nullptr;
    std::shared_ptr<TRLCertificatePinner> pinner_;
    bool canUseBackgroundSession_ = false;
    base::Scheduler* scheduler_ = nullptr;

    mutable std::mutex mutex_;
    std::shared_ptr<BBXURLSession> session_;
    std::shared_ptr<BBXURLSession> immediateSession_;
    // Descriptions of packages being uploaded or waiting for a restart.
    std::set<std::string> inFlight_;
    std::map<std::string, unsigned> restarts_;
};
