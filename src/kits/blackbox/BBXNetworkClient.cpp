#include "kits/blackbox/BBXNetworkClient.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>

#include "base/Log.h"
#include "kits/blackbox/BBXApplication.h"
#include "kits/blackbox/BBXFileManager.h"
#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/crashtime/BBXContext.h"
#include "kits/trellis/TRLNetworkClient.h"

namespace {
constexpr const char* kBackgroundSessionIdentifier = "io.blackbox.mac.crash.background-session";

bool readable(const std::string& path) { return !path.empty() && ::access(path.c_str(), R_OK) == 0; }
}  // namespace

// Answers the session's calls for the client; holds it weakly so that the
// session (which keeps its delegate) does not keep the client alive.
class BBXNetworkClient::SessionDelegate : public BBXURLSessionDelegate {
public:
    SessionDelegate(std::weak_ptr<BBXNetworkClient> client, std::shared_ptr<TRLCertificatePinner> pinner)
        : client_(std::move(client)), pinner_(std::move(pinner)) {}
    bool answersChallenges() const override { return true; }
    void didReceiveChallenge(BBXURLSession& session, const BBXURLAuthenticationChallenge& challenge,
                             BBXChallengeCompletion completion) override {
        // Debug mode turns pinning off; the system's trust store still decides.
        if (BBXDebugMode() || !pinner_) {
            completion(BBXURLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
            return;
        }
        pinner_->handleChallenge(challenge, session, completion);
    }
    void didBecomeInvalidWithError(BBXURLSession&, const std::optional<base::Error>& error) override {
        if (BBXDebugMode()) {
            spdlog::info("[Blackbox:Crash:Client] session became invalid: {}",
                         error ? error->localizedDescription() : "(null)");
        }
    }
    void didCompleteWithError(BBXURLSession&, BBXURLSessionTask& task, const std::optional<base::Error>& error) override {
        if (auto client = client_.lock()) client->handleTaskCompleted(task, error);
    }

private:
    std::weak_ptr<BBXNetworkClient> client_;
    std::shared_ptr<TRLCertificatePinner> pinner_;
};

std::shared_ptr<BBXNetworkClient> BBXNetworkClient::initWithQueue(base::SerialQueue* queue,
                                                                  std::shared_ptr<BBXFileManager> fileManager,
                                                                  BBXNetworkClientDelegate* delegate,
                                                                  std::optional<TRLCertificateList> pinnedCertificates) {
    std::shared_ptr<BBXNetworkClient> client(new BBXNetworkClient());
    client->queue_ = queue;
    client->fileManager_ = std::move(fileManager);
    client->delegate_ = delegate;
    client->pinner_ = std::make_shared<TRLCertificatePinner>(pinnedCertificates ? std::move(*pinnedCertificates)
                                                                                : TRLPinnedCertificates());
    client->canUseBackgroundSession_ = delegate && delegate->networkClientCanUseBackgroundSessions(*client);
    if (BBXDebugMode()) {
        spdlog::info(client->supportsBackgroundRequests()
                         ? "[Blackbox:Crash:Client] Background session uploading supported"
                         : "[Blackbox:Crash:Client] Background session uploading not supported, asynchronous "
                           "uploading will be used");
    }
    return client;
}

BBXNetworkClient::~BBXNetworkClient() {
    // Tasks still running finish; nothing new starts. The work queue belongs
    // to our owner and may already be gone (or go right after us), so what
    // the session still delivers, its invalidation included, goes to its own
    // queue, where the delegate finds us gone.
    if (session_) {
        session_->detachDelegateQueue();
        session_->finishTasksAndInvalidate();
    }
    if (immediateSession_) immediateSession_->finishTasksAndInvalidate();
}

bool BBXNetworkClient::supportsBackgroundRequests() const {
    return !BBXApplicationIsExtension() && NSURLSessionAvailable() && canUseBackgroundSession_;
}

std::shared_ptr<BBXURLSession> BBXNetworkClient::makeSession(bool forImmediateUploads) {
    std::shared_ptr<BBXURLSessionConfiguration> configuration;
    if (!forImmediateUploads && supportsBackgroundRequests()) {
        configuration = BBXURLSessionConfiguration::backgroundSessionConfiguration(kBackgroundSessionIdentifier);
    }
    if (!configuration) configuration = BBXURLSessionConfiguration::defaultSessionConfiguration();
    auto delegate = std::make_shared<SessionDelegate>(weak_from_this(), pinner_);
    // Blocking uploads wait on their own queue: the work queue may be the
    // thread that waits.
    auto session = BBXURLSession::sessionWithConfiguration(configuration, delegate,
                                                           forImmediateUploads ? nullptr : queue_);
    if (!session) spdlog::error("[Blackbox:Crash:Client] Failed to initialize");
    return session;
}

std::shared_ptr<BBXURLSession> BBXNetworkClient::session() {
    std::lock_guard lock(mutex_);
    if (!session_) session_ = makeSession(false);
    return session_;
}

void BBXNetworkClient::attemptToReconnectBackgroundSessionWithCompletionBlock(base::Task block) {
    if (!block) return;
    // Uploads handed to the session at an earlier launch do not survive the
    // process here, so there is nothing to wait for beyond the queue's turn.
    if (supportsBackgroundRequests() && queue_) queue_->post(std::move(block));
    else block();
}

std::string BBXNetworkClient::rootPath() const { return fileManager_ ? fileManager_->rootPath() : std::string(); }

std::optional<std::string> BBXNetworkClient::relativeTaskPathForAbsolutePath(const std::string& path) const {
    const std::string prefix = rootPath() + "/";
    if (rootPath().empty() || path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
        BBXSDKLog("%s: Error: path '%s' is not at the root '%s'", "-[BBXNetworkClient relativeTaskPathForAbsolutePath:]",
                  path.c_str(), prefix.c_str());
        return std::nullopt;
    }
    return path.substr(prefix.size());
}

std::string BBXNetworkClient::absolutePathForRelativeTaskPath(const std::string& description) const {
    return rootPath() + "/" + description;
}

bool BBXNetworkClient::isDeliveredStatus(long status) {
    return status == 200 || status == 201 || status == 202 || status == 204;
}

double BBXNetworkClient::retryDelayForResponse(const TRLHTTPURLResponse* response) {
    return std::clamp(TRLNetworkResponseHandler::retryValueForResponse(response), 1.0, 3600.0);
}

void BBXNetworkClient::startUploadRequest(const TRLURLRequest& request, const std::string& filePath, bool immediately) {
    if (immediately) {
        startImmediateUploadRequest(request, filePath);
        return;
    }
    auto description = relativeTaskPathForAbsolutePath(filePath);
    if (!description) {
        reportFinished(filePath, base::Error(kBBXNetworkErrorDomain, kBBXNetworkErrorUnreadableFile));
        return;
    }
    auto self = shared_from_this();
    checkForExistingTaskMatchingDescription(*description, [self, request, filePath](bool exists) {
        if (exists) {
            if (BBXDebugMode()) spdlog::info("[Blackbox:Crash:Client] A task currently exists for this upload, skipping");
            return;
        }
        self->startNewUploadRequest(request, filePath);
    });
}

void BBXNetworkClient::checkForExistingTaskMatchingDescription(const std::string& description,
                                                                std::function<void(bool)> block) {
    auto self = shared_from_this();
    auto check = [self, description, block = std::move(block)] {
        {
            std::lock_guard lock(self->mutex_);
            if (self->inFlight_.count(description)) {
                block(true);
                return;
            }
        }
        auto session = self->session();
        if (!session) {
            block(false);
            return;
        }
        session->getTasksWithCompletionHandler([self, description, block](auto data, auto upload, auto download) {
            bool found = false;
            for (const auto* list : {&data, &upload, &download}) {
                for (const auto& task : *list) found = found || task->taskDescription() == description;
            }
            {
                // Another check may have started the upload while this one
                // waited; claim the description before the block starts it.
                std::lock_guard lock(self->mutex_);
                found = found || self->inFlight_.count(description) > 0;
                if (!found) self->inFlight_.insert(description);
            }
            block(found);
        });
    };
    if (queue_) queue_->post(std::move(check));
    else check();
}

void BBXNetworkClient::startImmediateUploadRequest(const TRLURLRequest& request, const std::string& filePath) {
    if (supportsBackgroundRequests()) {
        startUploadRequest(request, filePath, false);
        return;
    }
    if (!readable(filePath)) {
        BBXSDKLog("%s: Error: file unreadable\n", "-[BBXNetworkClient startImmediateUploadRequest:filePath:]");
        return;
    }
    std::shared_ptr<BBXURLSession> session;
    {
        std::lock_guard lock(mutex_);
        if (!immediateSession_) immediateSession_ = makeSession(true);
        session = immediateSession_;
    }
    if (!session) return;
    auto done = std::make_shared<std::promise<long>>();
    auto result = done->get_future();
    TRLURLRequest copy = request;
    copy.bodyFile = filePath;
    auto task = session->uploadTaskWithRequest(copy, filePath, [done](auto, auto response, auto error) {
        done->set_value(!error && response ? response->statusCode : 0);
    });
    if (!task) return;
    task->resume();
    const auto limit = std::chrono::milliseconds(static_cast<long long>(std::max(1.0, request.timeoutInterval) * 1000) + 500);
    if (result.wait_for(limit) != std::future_status::ready) {
        task->cancel();
        return;  // left in prepared for the next launch
    }
    // Anything but a delivery is left for the next launch.
    if (isDeliveredStatus(result.get())) reportFinished(filePath, std::nullopt);
}

void BBXNetworkClient::startNewUploadRequest(const TRLURLRequest& request, const std::string& filePath) {
    auto description = relativeTaskPathForAbsolutePath(filePath);
    std::shared_ptr<BBXURLSessionUploadTask> task;
    if (description && readable(filePath)) {
        if (auto s = session()) {
            TRLURLRequest copy = request;
            copy.bodyFile = filePath;
            task = s->uploadTaskWithRequest(copy, filePath);
        }
    }
    if (!task) {
        if (description) {
            std::lock_guard lock(mutex_);
            inFlight_.erase(*description);
            restarts_.erase(*description);
        }
        auto self = shared_from_this();
        base::Task fail = [self, filePath] {
            base::Error unreadable(kBBXNetworkErrorDomain, kBBXNetworkErrorUnreadableFile);
            unreadable.userInfo["path"] = filePath;
            self->reportFinished(filePath, unreadable);
        };
        if (queue_) queue_->post(std::move(fail));
        else fail();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        inFlight_.insert(*description);
    }
    task->setTaskDescription(*description);
    task->resume();
}

void BBXNetworkClient::handleTaskCompleted(BBXURLSessionTask& task, const std::optional<base::Error>& error) {
    const std::string description = task.taskDescription();
    auto response = task.response();
    if (!error && response && isDeliveredStatus(response->statusCode)) {
        handleTaskDescriptionCompletedWithError(description, std::nullopt);
        return;
    }
    if (!error && response &&
        TRLNetworkResponseHandler::responseTypeForStatus(response->statusCode) == TRLNetworkClientResponseType::Success) {
        // Not a delivery (e.g. 304): an error of its own, never success.
        handleTaskDescriptionCompletedWithError(
            description, TRLNetworkResponseHandler::errorForResponse(
                             response.get(), TRLNetworkClientResponseType::Other, response->statusCode));
        return;
    }
    const TRLURLRequest request = task.originalRequest();
    TRLNetworkResponseHandler::handleCompletedResponse(
        response.get(), request, error, [&](bool retry, std::optional<base::Error> handlerError) {
            unsigned attempts = 0;
            if (retry) {
                std::lock_guard lock(mutex_);
                attempts = ++restarts_[description];
            }
            if (retry && attempts <= kMaxRestarts) {
                auto self = shared_from_this();
                runAfterRetryValueFromResponse(response.get(),
                                               [self, request, description] { self->restartTask(request, description); });
                return;
            }
            if (!handlerError) handlerError = base::Error(kTRLNetworkErrorDomain, kTRLNetworkErrorOther);
            handleTaskDescriptionCompletedWithError(description, handlerError);
        });
}

void BBXNetworkClient::runAfterRetryValueFromResponse(const TRLHTTPURLResponse* response, base::Task block) {
    const double seconds = retryDelayForResponse(response);
    base::Scheduler& scheduler = scheduler_ ? *scheduler_ : base::Scheduler::shared();
    scheduler.after(std::chrono::duration_cast<base::Duration>(std::chrono::duration<double>(seconds)), queue_,
                    std::move(block));
}

void BBXNetworkClient::restartTask(const TRLURLRequest& request, const std::string& description) {
    const std::string path = absolutePathForRelativeTaskPath(description);
    // The description stays claimed while the restart waits.
    startNewUploadRequest(request, path);
}

void BBXNetworkClient::handleTaskDescriptionCompletedWithError(const std::string& description,
                                                               const std::optional<base::Error>& error) {
    {
        std::lock_guard lock(mutex_);
        inFlight_.erase(description);
        restarts_.erase(description);
    }
    reportFinished(absolutePathForRelativeTaskPath(description), error);
}

void BBXNetworkClient::reportFinished(const std::string& path, const std::optional<base::Error>& error) {
    if (delegate_) delegate_->networkClientDidFinishUploadWithPath(*this, path, error);
}

std::size_t BBXNetworkClient::uploadsInFlight() const {
    std::lock_guard lock(mutex_);
    return inFlight_.size();
}
