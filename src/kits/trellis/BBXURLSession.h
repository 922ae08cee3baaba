#pragma once
// The SDK's URL-session layer: sessions hand out data, upload and download
// tasks that run over libcurl on one transport thread, report to a session
// delegate on the session's delegate queue, and complete exactly once.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"
#include "base/Executor.h"
#include "kits/trellis/TRLServerTrust.h"
#include "kits/trellis/TRLURLRequest.h"

class BBXURLSession;
class BBXURLSessionTask;
class BBXURLSessionDataTask;
class BBXURLSessionUploadTask;
class BBXURLSessionDownloadTask;
class TRLSerialExecutor;
struct BBXTransfer;

// Transport errors (domain "NSURLErrorDomain").
inline constexpr const char* kBBXURLErrorDomain = "NSURLErrorDomain";
inline constexpr int kBBXURLErrorUnknown = -1;
inline constexpr int kBBXURLErrorCancelled = -999;
inline constexpr int kBBXURLErrorBadURL = -1000;
inline constexpr int kBBXURLErrorTimedOut = -1001;
inline constexpr int kBBXURLErrorUnsupportedURL = -1002;
inline constexpr int kBBXURLErrorCannotFindHost = -1003;
inline constexpr int kBBXURLErrorCannotConnectToHost = -1004;
inline constexpr int kBBXURLErrorNetworkConnectionLost = -1005;
inline constexpr int kBBXURLErrorCannotOpenFile = -3000;
inline constexpr int kBBXURLErrorSecureConnectionFailed = -1200;
inline constexpr int kBBXURLErrorServerCertificateUntrusted = -1202;
// A download whose file could not be written.
inline constexpr const char* kBBXURLSessionDownloadTaskErrorDomain = "BBXURLSessionDownloadTaskError";
// How many 307 or 308 replies an upload follows, sending its body again to each.
inline constexpr int kBBXURLSessionMaxUploadRedirects = 3;

// A response cache as a configuration names one; sessions never consult it.
struct BBXURLCache {
    std::size_t memoryCapacity = 0;
    std::size_t diskCapacity = 0;
    std::string diskPath;
};

class BBXURLSessionConfiguration {
public:
    static std::shared_ptr<BBXURLSessionConfiguration> defaultSessionConfiguration();
    static std::shared_ptr<BBXURLSessionConfiguration> ephemeralSessionConfiguration();
    // Background sessions do not exist here: always null, so callers fall
    // back to the default configuration.
    static std::shared_ptr<BBXURLSessionConfiguration> backgroundSessionConfiguration(const std::string& identifier);

    // Added to every request (next to a value the request already has).
    TRLHeaderList HTTPAdditionalHeaders;
    // Stored only: requests carry their own cache policy and no cookies are kept.
    std::shared_ptr<BBXURLCache> URLCache;
    unsigned HTTPCookieAcceptPolicy = 0;
    bool sessionSendsLaunchEvents() const { return false; }
    // A copy holds the additional headers only.
    std::shared_ptr<BBXURLSessionConfiguration> copy() const;
};

enum class BBXURLSessionAuthChallengeDisposition {
    UseCredential,
    PerformDefaultHandling,
    CancelAuthenticationChallenge,
};

struct BBXURLCredential {
    std::shared_ptr<TRLServerTrust> trust;
};

inline constexpr const char* kBBXAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";
// A server (401) or proxy (407) asking for a password, by the scheme it names first.
inline constexpr const char* kBBXAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr const char* kBBXAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* kBBXAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
inline constexpr const char* kBBXAuthenticationMethodNTLM = "NSURLAuthenticationMethodNTLM";
inline constexpr const char* kBBXAuthenticationMethodNegotiate = "NSURLAuthenticationMethodNegotiate";

struct BBXURLAuthenticationChallenge {
    std::string host;
    int port = 0;
    std::string authenticationMethod;
    std::shared_ptr<TRLServerTrust> serverTrust;  // null for any other kind of challenge
    bool proxy = false;                           // asked by a proxy (407)
};

using BBXChallengeCompletion =
    std::function<void(BBXURLSessionAuthChallengeDisposition, std::optional<BBXURLCredential>)>;

// Everything a session tells its owner. Calls arrive on the delegate queue,
// one at a time.
class BBXURLSessionDelegate {
public:
    virtual ~BBXURLSessionDelegate() = default;
    // Whether `didReceiveChallenge` is implemented; when not, server trust
    // gets the default handling (the system's roots).
    virtual bool answersChallenges() const { return false; }
    // Asked before an HTTPS task connects, and when a server or proxy asks
    // for a password (the answer to use a credential or the default handling
    // delivers that reply as it is; cancelling ends the task as cancelled).
    // Call `completion` exactly once.
    virtual void didReceiveChallenge(BBXURLSession& session, const BBXURLAuthenticationChallenge& challenge,
                                     BBXChallengeCompletion completion) {
        (void)session, (void)challenge;
        completion(BBXURLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    }
    // After invalidation, once the last task finished; the delegate is then dropped.
    virtual void didBecomeInvalidWithError(BBXURLSession&, const std::optional<base::Error>&) {}
    virtual void didReceiveResponse(BBXURLSession&, BBXURLSessionTask&, const TRLHTTPURLResponse&) {}
    virtual void didReceiveData(BBXURLSession&, BBXURLSessionTask&, std::string_view) {}
    virtual void didFinishDownloadingToURL(BBXURLSession&, BBXURLSessionDownloadTask&, const std::string&) {}
    virtual void didCompleteWithError(BBXURLSession&, BBXURLSessionTask&, const std::optional<base::Error>&) {}
};

// A completion handler runs on the task's own queue, never on the delegate
// queue: it can be neither held up by the delegate nor delivered to a
// queue that its owner has let go.
using BBXDataTaskCompletion = std::function<void(std::optional<std::string> data,
                                                 std::shared_ptr<const TRLHTTPURLResponse> response,
                                                 std::optional<base::Error> error)>;
// The downloaded file is removed once the handler returns: move it to keep it.
using BBXDownloadTaskCompletion = std::function<void(std::optional<std::string> location,
                                                     std::shared_ptr<const TRLHTTPURLResponse> response,
                                                     std::optional<base::Error> error)>;

class BBXURLSessionTask : public std::enable_shared_from_this<BBXURLSessionTask> {
public:
    enum class Kind { Data, Upload, Download };
    enum class State { Suspended, Running, Completed };

    virtual ~BBXURLSessionTask();
    Kind kind() const { return kind_; }
    std::uint64_t taskIdentifier() const { return identifier_; }
    const TRLURLRequest& originalRequest() const { return request_; }
    const TRLURLRequest& currentRequest() const { return request_; }
    std::shared_ptr<const TRLHTTPURLResponse> response() const;
    std::optional<base::Error> error() const;
    State state() const;
    // When the task has a completion handler the delegate hears nothing of it.
    bool invokesDelegate() const { return invokesDelegate_; }
    std::string taskDescription() const;
    void setTaskDescription(std::string text);
    // Where a download task writes its body.
    const std::string& downloadTargetPath() const { return targetPath_; }

    // Starts loading; a second call does nothing.
    void resume();
    // Stops the task; it then completes once with a cancelled error (unless
    // it had already completed).
    void cancel();

protected:
    BBXURLSessionTask(Kind kind, std::shared_ptr<BBXURLSession> session, TRLURLRequest request);

private:
    friend class BBXURLSession;
    friend struct BBXTransfer;
    friend class BBXTransport;

    // `redirectedFrom`: the transfer whose 307 or 308 reply sends this one
    // to `url` (the request's own address otherwise).
    void startTransfer(std::shared_ptr<TRLServerTrust> trust, const BBXTransfer* redirectedFrom = nullptr,
                       const std::string& url = {});
    // Called once, from the transport or a cancel.
    void finish(std::optional<base::Error> error);
    // The transport ended on a reply asking for a password, held back until
    // the delegate has answered the challenge it raises.
    void finishAfterChallenge(std::shared_ptr<const TRLHTTPURLResponse> response, std::string body,
                              std::optional<base::Error> error);
    void deliverResponse(std::shared_ptr<const TRLHTTPURLResponse> response);
    void deliverData(std::string chunk);

    const Kind kind_;
    const std::uint64_t identifier_;
    std::shared_ptr<BBXURLSession> session_;
    TRLURLRequest request_;
    bool invokesDelegate_ = true;
    BBXDataTaskCompletion dataCompletion_;
    BBXDownloadTaskCompletion downloadCompletion_;
    std::string targetPath_;
    // Where the completion handler runs.
    std::shared_ptr<TRLSerialExecutor> queue_;

    mutable std::mutex mutex_;
    State state_ = State::Suspended;
    bool resumed_ = false;
    bool finished_ = false;
    std::uint64_t transferId_ = 0;  // non-zero while the transport holds it
    std::shared_ptr<const TRLHTTPURLResponse> response_;
    std::optional<base::Error> error_;
    std::optional<std::string> data_;
    std::string description_;
};

class BBXURLSessionDataTask : public BBXURLSessionTask {
protected:
    using BBXURLSessionTask::BBXURLSessionTask;
    friend class BBXURLSession;
};

class BBXURLSessionUploadTask : public BBXURLSessionDataTask {
    using BBXURLSessionDataTask::BBXURLSessionDataTask;
    friend class BBXURLSession;
};

class BBXURLSessionDownloadTask : public BBXURLSessionDataTask {
    using BBXURLSessionDataTask::BBXURLSessionDataTask;
    friend class BBXURLSession;
};

class BBXURLSession : public std::enable_shared_from_this<BBXURLSession> {
public:
    // Null without a configuration. The session keeps the delegate until it
    // has been invalidated and its last task finished. With a delegate and no
    // queue the session makes its own serial delegate queue; `delegateQueue`
    // is not owned and must outlive the session's work.
    static std::shared_ptr<BBXURLSession> sessionWithConfiguration(
        std::shared_ptr<BBXURLSessionConfiguration> configuration,
        std::shared_ptr<BBXURLSessionDelegate> delegate = nullptr, base::Executor* delegateQueue = nullptr);
    ~BBXURLSession();
    // Whether a platform session that outlives the process is available to
    // hand out instead of ours: never here, so no upload is ever carried
    // beyond the process that started it.
    static bool NSURLSessionShouldBeUsed() { return false; }

    // Each is null once the session was invalidated.
    std::shared_ptr<BBXURLSessionDataTask> dataTaskWithRequest(const TRLURLRequest& request,
                                                               BBXDataTaskCompletion completion = {});
    std::shared_ptr<BBXURLSessionUploadTask> uploadTaskWithRequest(const TRLURLRequest& request,
                                                                   const std::string& fromFile,
                                                                   BBXDataTaskCompletion completion = {});
    std::shared_ptr<BBXURLSessionDownloadTask> downloadTaskWithRequest(const TRLURLRequest& request,
                                                                       BBXDownloadTaskCompletion completion = {});
    std::shared_ptr<BBXURLSessionDownloadTask> downloadTaskWithURL(const std::string& url,
                                                                   BBXDownloadTaskCompletion completion = {});

    // No new tasks from now on; running ones are cancelled. Never waits, so
    // it may be called from the delegate queue or a completion handler.
    void invalidateAndCancel();
    // No new tasks from now on; running ones finish.
    void finishTasksAndInvalidate();
    bool isInvalidated() const;
    // The owner's delegate queue is about to go away: whatever the session
    // still has to deliver (running tasks finishing) goes to the session's
    // own queue from now on instead of to a queue that no longer exists.
    void detachDelegateQueue();

    // The tasks started and not yet finished, by kind, on the delegate queue.
    void getTasksWithCompletionHandler(
        std::function<void(std::vector<std::shared_ptr<BBXURLSessionTask>> dataTasks,
                           std::vector<std::shared_ptr<BBXURLSessionTask>> uploadTasks,
                           std::vector<std::shared_ptr<BBXURLSessionTask>> downloadTasks)>
            handler);

    std::shared_ptr<BBXURLSessionDelegate> delegate() const;
    // Null when the session was made with neither a delegate nor a queue.
    base::Executor* delegateQueue() const;
    std::shared_ptr<BBXURLSessionConfiguration> configuration() const { return configuration_; }
    std::string sessionDescription() const;
    void setSessionDescription(std::string text);
    std::size_t taskCount() const;

    // Tests only: the file of roots that default handling trusts (empty: the
    // system's), and host names to resolve to given addresses
    // ("host:port:address", as libcurl's resolve list).
    static void setDefaultTrustFileForTesting(const std::string& pemFile);
    static void setResolveOverridesForTesting(const std::vector<std::string>& entries);

private:
    friend class BBXURLSessionTask;
    friend struct BBXTransfer;
    BBXURLSession() = default;

    template <class T>
    std::shared_ptr<T> makeTask(BBXURLSessionTask::Kind kind, const TRLURLRequest& request);
    // Runs on the queue where the session's callbacks go.
    void post(base::Task task);
    void taskFinished(const std::shared_ptr<BBXURLSessionTask>& task);
    void invalidateIfDone();
    void challengeThenStart(const std::shared_ptr<BBXURLSessionTask>& task);
    // Whether a reply is a password challenge for the delegate to answer.
    bool raisesChallengeForResponse(const TRLHTTPURLResponse& response) const;
    // Asks the delegate on its queue; `answer` runs once with its disposition.
    void raiseChallenge(BBXURLAuthenticationChallenge challenge,
                        std::function<void(BBXURLSessionAuthChallengeDisposition, std::optional<BBXURLCredential>)>
                            answer);

    std::shared_ptr<BBXURLSessionConfiguration> configuration_;
    mutable std::mutex queueMutex_;  // guards delegateQueue_ against detaching mid-post
    base::Executor* delegateQueue_ = nullptr;
    std::shared_ptr<TRLSerialExecutor> ownQueue_;
    mutable std::mutex mutex_;
    std::shared_ptr<BBXURLSessionDelegate> delegate_;
    std::set<std::shared_ptr<BBXURLSessionTask>> taskSet_;
    bool invalidated_ = false;
    bool invalidationReported_ = false;
    std::string description_;
};
