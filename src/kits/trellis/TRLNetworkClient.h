#pragma once
// The SDK's HTTP client: data and download tasks over a URL session, pinned
// to the SDK's roots, classified by status code and retried with a jittered
// back-off taken from the server's "Retry-After".
#include <nlohmann/json_fwd.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "base/Error.h"
#include "base/Executor.h"
#include "base/Scheduler.h"
#include "kits/trellis/BBXURLSession.h"
#include "kits/trellis/TRLCertificatePinner.h"

inline constexpr const char* kTRLNetworkErrorDomain = "TRLNetworkError";
inline constexpr int kTRLNetworkErrorRetry = -1;          // a retryable answer (goes with the retry decision)
inline constexpr int kTRLNetworkErrorNoTask = -3;         // the session gave no task (invalidated or released)
inline constexpr int kTRLNetworkErrorOther = -4;          // "other" status, or content type mismatch
inline constexpr int kTRLNetworkErrorClient = -5;         // client error status
inline constexpr int kTRLNetworkErrorRetryLimit = -6;     // still retryable after the retry limit
// The longest wait before a retry, in seconds, whatever the server asks: a
// day-long or absurd "Retry-After" waits this long instead, spread as below.
inline constexpr double kTRLMaximumRetryDelay = 3600;
// The shortest wait after a delay the server named ("Retry-After: 0" would
// otherwise have a client ask again at once, over and over).
inline constexpr double kTRLMinimumRetryDelay = 1;
// A named wait is stretched by a random factor in [1, kTRLRetrySpread), so
// that clients told the same time do not all come back at that instant.
inline constexpr double kTRLRetrySpread = 1.2;

enum class TRLNetworkClientResponseType : int {
    Success = 0,
    Other = 1,
    ClientError = 2,
    Retry = 3,
    RateLimited = 4,
};

class TRLNetworkResponseHandler {
public:
    // Null when there is no response or no such header.
    static std::optional<std::string> headerForResponse(const TRLHTTPURLResponse* response, const std::string& key);
    // "Retry-After" in seconds: the number of seconds it gives (fractions
    // allowed), or the time from `now` until the HTTP date it gives (0 for a
    // date past); 300 when absent, negative or neither.
    static double retryValueForResponse(const TRLHTTPURLResponse* response);
    static double retryValueForResponse(const TRLHTTPURLResponse* response, std::chrono::system_clock::time_point now);
    static std::optional<std::string> requestIdForResponse(const TRLHTTPURLResponse* response);
    static bool contentTypeForResponse(const TRLHTTPURLResponse* response, const TRLURLRequest& request);
    static base::Error errorForCode(int code);
    static base::Error errorForCode(int code, nlohmann::json userInfo);
    static std::optional<base::Error> errorForResponse(const TRLHTTPURLResponse* response,
                                                       TRLNetworkClientResponseType type, long status);
    static TRLNetworkClientResponseType responseTypeForStatus(long status);
    static void clientResponseType(const TRLHTTPURLResponse* response,
                                   const std::function<void(TRLNetworkClientResponseType, long)>& handler);
    // Calls `block` once with whether to retry and the error (if any).
    static void handleCompletedResponse(const TRLHTTPURLResponse* response, const TRLURLRequest& request,
                                        const std::optional<base::Error>& error,
                                        const std::function<void(bool retry, std::optional<base::Error>)>& block);
};

class TRLNetworkClient : public std::enable_shared_from_this<TRLNetworkClient> {
public:
    // `queue` is the session's delegate queue, where challenges are answered
    // (null: a serial queue of the session's own). `pinnedCertificates`
    // nullopt: no pinning; a list (even an empty one) is all the client
    // trusts. Null when no session could be made.
    static std::shared_ptr<TRLNetworkClient> create(base::Executor* queue = nullptr,
                                                    std::optional<TRLCertificateList> pinnedCertificates = std::nullopt);
    static std::shared_ptr<TRLNetworkClient> create(std::shared_ptr<BBXURLSessionConfiguration> configuration,
                                                    base::Executor* queue,
                                                    std::optional<TRLCertificateList> pinnedCertificates);
    // Running tasks finish; the session takes no more.
    ~TRLNetworkClient();

    // Completion: (body, response, error). Runs exactly once, on the task's
    // own queue, or at once when no task could be made.
    using DataCompletion = BBXDataTaskCompletion;
    // Completion: (downloaded file, response, error); the file is removed once it returns.
    using DownloadCompletion = BBXDownloadTaskCompletion;

    void startDataTaskWithRequest(const TRLURLRequest& request, DataCompletion completion);
    void startDataTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit, DataCompletion completion);
    void startDataTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit, unsigned tries,
                                  DataCompletion completion);
    void startDownloadTaskWithRequest(const TRLURLRequest& request, DownloadCompletion completion);
    void startDownloadTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit, DownloadCompletion completion);
    void startDownloadTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit, unsigned tries,
                                      DownloadCompletion completion);

    void invalidateAndCancel();

    // Back-off: Retry-After x max(tries, 1), capped at kTRLMaximumRetryDelay,
    // then spread: by a jitter in [0.9, 1.1) when the server named no delay;
    // by a factor in [1, kTRLRetrySpread) when it did, never under
    // kTRLMinimumRetryDelay, so never sooner than it asked.
    double computeDelayForResponse(const TRLHTTPURLResponse* response, unsigned tries);
    double generateRandomJitter();
    double randomDoubleWithMin(double min, double max);
    void runAfterRetryValueFromResponse(const TRLHTTPURLResponse* response, unsigned attempts, base::Task block);
    void runAfterRetryValueFromResponse(const TRLHTTPURLResponse* response, unsigned attempts, base::Executor* queue,
                                        base::Task block);

    // Tests replace where retries are timed and the uniform source in [0, 1).
    void setScheduler(base::Scheduler* scheduler) { scheduler_ = scheduler; }
    void setRandomSource(std::function<double()> source);
    // Tests replace the present time that an HTTP-date "Retry-After" is read against.
    void setWallClock(std::function<std::chrono::system_clock::time_point()> clock);

    std::shared_ptr<TRLCertificatePinner> certPinner() const { return pinner_; }
    std::shared_ptr<BBXURLSession> session() const { return session_; }

private:
    TRLNetworkClient() = default;
    void startTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit, unsigned tries,
                              DataCompletion completion, bool download);
    class SessionDelegate;

    std::shared_ptr<TRLCertificatePinner> pinner_;
    std::shared_ptr<BBXURLSession> session_;
    base::Scheduler* scheduler_ = nullptr;
    std::mutex randomMutex_;
    std::function<double()> randomSource_;
    std::function<std::chrono::system_clock::time_point()> wallClock_;
    std::mt19937_64 generator_;
};
