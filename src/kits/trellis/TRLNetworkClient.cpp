#include "kits/trellis/TRLNetworkClient.h"
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "base/Crypto.h"
#include "kits/trellis/TRLUtilities.h"
#include "base/Text.h"

// ---- response classification

std::optional<std::string> TRLNetworkResponseHandler::headerForResponse(const TRLHTTPURLResponse* response,
                                                                        const std::string& key) {
    if (!response) return std::nullopt;
    return response->valueForHTTPHeaderField(key);
}

namespace {

constexpr double kDefaultRetryAfter = 300;

// The delay the server named: only a plain, finite, non-negative decimal
// number counts (no dates, hexadecimal, "inf" or "nan").
std::optional<double> namedRetryAfter(const TRLHTTPURLResponse* response) {
    auto header = TRLNetworkResponseHandler::headerForResponse(response, "Retry-After");
    if (!header) return std::nullopt;
    std::string text = base::trim(*header);
    if (text.empty()) return std::nullopt;
    bool digit = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (base::isAsciiDigit(c)) digit = true;
        else if (!(c == '.' || ((c == '-' || c == '+') && i == 0))) return std::nullopt;
    }
    if (!digit) return std::nullopt;
    auto value = base::parseDouble(text);  // a point in every locale
    if (!value || !std::isfinite(*value) || *value < 0) return std::nullopt;
    return *value;
}

}  // namespace

double TRLNetworkResponseHandler::retryValueForResponse(const TRLHTTPURLResponse* response) {
    return namedRetryAfter(response).value_or(kDefaultRetryAfter);
}

std::optional<std::string> TRLNetworkResponseHandler::requestIdForResponse(const TRLHTTPURLResponse* response) {
    return headerForResponse(response, "X-Request-Id");
}

namespace {
bool equalsNoCase(const std::string& a, const std::string& b) { return TRLHeaderNameEquals(a, b); }
}  // namespace

bool TRLNetworkResponseHandler::contentTypeForResponse(const TRLHTTPURLResponse* response,
                                                       const TRLURLRequest& request) {
    auto accept = request.valueForHTTPHeaderField("Accept");
    if (!accept) return true;
    auto contentType = headerForResponse(response, "Content-Type");
    if (!contentType) return false;
    const std::string separator = "; charset=";
    auto at = contentType->find(separator);
    std::string type = contentType->substr(0, at);
    if (!equalsNoCase(type, *accept)) return false;
    auto acceptCharset = request.valueForHTTPHeaderField("Accept-Charset");
    if (acceptCharset && at != std::string::npos) {
        std::string charset = contentType->substr(at + separator.size());
        return equalsNoCase(charset, *acceptCharset);
    }
    return true;
}

base::Error TRLNetworkResponseHandler::errorForCode(int code) { return errorForCode(code, nlohmann::json::object()); }

base::Error TRLNetworkResponseHandler::errorForCode(int code, nlohmann::json userInfo) {
    base::Error e(kTRLNetworkErrorDomain, code);
    e.userInfo = std::move(userInfo);
    return e;
}

std::optional<base::Error> TRLNetworkResponseHandler::errorForResponse(const TRLHTTPURLResponse* response,
                                                                       TRLNetworkClientResponseType type, long status) {
    int code;
    switch (type) {
    case TRLNetworkClientResponseType::Success: return std::nullopt;
    case TRLNetworkClientResponseType::Other: code = kTRLNetworkErrorOther; break;
    case TRLNetworkClientResponseType::ClientError: code = kTRLNetworkErrorClient; break;
    default: code = kTRLNetworkErrorRetry; break;
    }
    nlohmann::json info = {
        {"type", static_cast<int>(type)},
        {"status_code", status},
        {"request_id", requestIdForResponse(response).value_or("")},
        {"content_type", headerForResponse(response, "Content-Type").value_or("")},
    };
    return errorForCode(code, std::move(info));
}

TRLNetworkClientResponseType TRLNetworkResponseHandler::responseTypeForStatus(long status) {
    switch (status) {
    case 200: case 201: case 202: case 204: case 304:
        return TRLNetworkClientResponseType::Success;
    case 400: case 401: case 403: case 404: case 406: case 410: case 411: case 413: case 419: case 422: case 431:
        return TRLNetworkClientResponseType::ClientError;
    case 408:
        return TRLNetworkClientResponseType::Retry;
    case 420: case 429:
        return TRLNetworkClientResponseType::RateLimited;
    default:
        if (status >= 500 && status <= 599) return TRLNetworkClientResponseType::Retry;
        return TRLNetworkClientResponseType::Other;
    }
}

void TRLNetworkResponseHandler::clientResponseType(
    const TRLHTTPURLResponse* response, const std::function<void(TRLNetworkClientResponseType, long)>& handler) {
    long status = response ? response->statusCode : 0;
    if (handler) handler(responseTypeForStatus(status), status);
}

void TRLNetworkResponseHandler::handleCompletedResponse(
    const TRLHTTPURLResponse* response, const TRLURLRequest& request, const std::optional<base::Error>& error,
    const std::function<void(bool, std::optional<base::Error>)>& block) {
    if (!block) return;
    if (error) {
        block(false, error);
        return;
    }
    clientResponseType(response, [&](TRLNetworkClientResponseType type, long status) {
        switch (type) {
        case TRLNetworkClientResponseType::Success:
            if (contentTypeForResponse(response, request)) block(false, std::nullopt);
            else block(false, errorForResponse(response, TRLNetworkClientResponseType::Other, status));
            break;
        case TRLNetworkClientResponseType::Other:
        case TRLNetworkClientResponseType::ClientError:
            block(false, errorForResponse(response, type, status));
            break;
        case TRLNetworkClientResponseType::Retry:
        case TRLNetworkClientResponseType::RateLimited:
            block(true, errorForResponse(response, type, status));
            break;
        }
    });
}

// ---- client

class TRLNetworkClient::SessionDelegate : public BBXURLSessionDelegate {
public:
    explicit SessionDelegate(std::shared_ptr<TRLCertificatePinner> pinner) : pinner_(std::move(pinner)) {}
    bool answersChallenges() const override { return true; }
    void didReceiveChallenge(BBXURLSession& session, const BBXURLAuthenticationChallenge& challenge,
                             BBXChallengeCompletion completion) override {
        // Debug mode, or no pins: the system's trust decides.
        if (TRLDebugEnabled() || !pinner_) {
            completion(BBXURLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
            return;
        }
        pinner_->handleChallenge(challenge, session, completion);
    }

private:
    std::shared_ptr<TRLCertificatePinner> pinner_;
};

std::shared_ptr<TRLNetworkClient> TRLNetworkClient::create(base::Executor* queue,
                                                           std::optional<TRLCertificateList> pinnedCertificates) {
    return create(BBXURLSessionConfiguration::defaultSessionConfiguration(), queue, std::move(pinnedCertificates));
}

std::shared_ptr<TRLNetworkClient> TRLNetworkClient::create(std::shared_ptr<BBXURLSessionConfiguration> configuration,
                                                           base::Executor* queue,
                                                           std::optional<TRLCertificateList> pinnedCertificates) {
    std::shared_ptr<TRLNetworkClient> client(new TRLNetworkClient());
    if (pinnedCertificates) client->pinner_ = std::make_shared<TRLCertificatePinner>(std::move(*pinnedCertificates));
    client->session_ = BBXURLSession::sessionWithConfiguration(
        std::move(configuration), std::make_shared<SessionDelegate>(client->pinner_), queue);
    if (!client->session_) return nullptr;
    std::string seed = base::randomBytes(8);
    std::uint64_t s = 0;
    for (char c : seed) s = (s << 8) | static_cast<unsigned char>(c);
    client->generator_.seed(s);
    return client;
}

TRLNetworkClient::~TRLNetworkClient() {
    if (session_) session_->finishTasksAndInvalidate();
}

void TRLNetworkClient::startDataTaskWithRequest(const TRLURLRequest& request, DataCompletion completion) {
    startDataTaskWithRequest(request, 10, 0, std::move(completion));
}

void TRLNetworkClient::startDataTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit,
                                                DataCompletion completion) {
    startDataTaskWithRequest(request, retryLimit, 0, std::move(completion));
}

void TRLNetworkClient::startDownloadTaskWithRequest(const TRLURLRequest& request, DownloadCompletion completion) {
    startDownloadTaskWithRequest(request, 10, 0, std::move(completion));
}

void TRLNetworkClient::startDownloadTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit,
                                                    DownloadCompletion completion) {
    startDownloadTaskWithRequest(request, retryLimit, 0, std::move(completion));
}

void TRLNetworkClient::startDataTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit, unsigned tries,
                                                DataCompletion completion) {
    startTaskWithRequest(request, retryLimit, tries, std::move(completion), false);
}

void TRLNetworkClient::startDownloadTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit, unsigned tries,
                                                    DownloadCompletion completion) {
    startTaskWithRequest(request, retryLimit, tries, std::move(completion), true);
}

// Data and download tasks share one retry path: the completion takes the body
// or the downloaded file's location in its first argument.
void TRLNetworkClient::startTaskWithRequest(const TRLURLRequest& request, unsigned retryLimit, unsigned tries,
                                            DataCompletion completion, bool download) {
    std::weak_ptr<TRLNetworkClient> weak = weak_from_this();
    auto shared = std::make_shared<DataCompletion>(std::move(completion));
    auto fail = [shared](int code) {
        if (*shared) (*shared)(std::nullopt, nullptr, TRLNetworkResponseHandler::errorForCode(code));
    };
    auto handler = [weak, request, retryLimit, tries, shared, fail, download](
                       std::optional<std::string> result, std::shared_ptr<const TRLHTTPURLResponse> response,
                       std::optional<base::Error> error) {
        TRLNetworkResponseHandler::handleCompletedResponse(
            response.get(), request, error, [&](bool retry, std::optional<base::Error> outcome) {
                if (!retry) {
                    if (*shared) (*shared)(std::move(result), response, std::move(outcome));
                    return;
                }
                if (tries >= retryLimit) return fail(kTRLNetworkErrorRetryLimit);
                auto client = weak.lock();
                if (!client) return fail(kTRLNetworkErrorNoTask);
                client->runAfterRetryValueFromResponse(
                    response.get(), tries, [weak, request, retryLimit, tries, shared, fail, download] {
                        auto client = weak.lock();
                        // The client went away while the retry waited: end the request here.
                        if (!client) return fail(kTRLNetworkErrorNoTask);
                        client->startTaskWithRequest(request, retryLimit, tries + 1, std::move(*shared), download);
                    });
            });
    };
    std::shared_ptr<BBXURLSessionTask> task;
    if (download) task = session_->downloadTaskWithRequest(request, handler);
    else task = session_->dataTaskWithRequest(request, handler);
    if (!task) return fail(kTRLNetworkErrorNoTask);
    task->resume();
}

void TRLNetworkClient::invalidateAndCancel() { session_->invalidateAndCancel(); }

double TRLNetworkClient::computeDelayForResponse(const TRLHTTPURLResponse* response, unsigned tries) {
    auto named = namedRetryAfter(response);
    double retryAfter = named.value_or(kDefaultRetryAfter);
    double multiplier = tries == 0 ? 1 : tries;
    double delay = generateRandomJitter() * retryAfter * multiplier;  // may be infinite for an absurd header
    // The jitter spreads retries out; it never brings one before the time the
    // server named. Nothing waits beyond the cap, which also keeps the delay
    // convertible to the scheduler's clock.
    double earliest = named ? std::min(*named, kTRLMaximumRetryDelay) : 0.0;
    return std::clamp(delay, earliest, kTRLMaximumRetryDelay);
}

double TRLNetworkClient::generateRandomJitter() {
    // The bounds are the single-precision values of 0.9 and 1.1.
    return randomDoubleWithMin(static_cast<double>(0.9f), static_cast<double>(1.1f));
}

double TRLNetworkClient::randomDoubleWithMin(double min, double max) {
    double r;
    {
        std::lock_guard lock(randomMutex_);
        if (randomSource_) r = randomSource_();
        else r = std::uniform_real_distribution<double>(0.0, 1.0)(generator_);
    }
    return min + (max - min) * r;
}

void TRLNetworkClient::setRandomSource(std::function<double()> source) {
    std::lock_guard lock(randomMutex_);
    randomSource_ = std::move(source);
}

void TRLNetworkClient::runAfterRetryValueFromResponse(const TRLHTTPURLResponse* response, unsigned attempts,
                                                      base::Task block) {
    runAfterRetryValueFromResponse(response, attempts, &base::ThreadPool::shared(), std::move(block));
}

void TRLNetworkClient::runAfterRetryValueFromResponse(const TRLHTTPURLResponse* response, unsigned attempts,
                                                      base::Executor* queue, base::Task block) {
    double delay = computeDelayForResponse(response, attempts);  // within [0, kTRLMaximumRetryDelay]
    auto duration = std::chrono::duration_cast<base::Duration>(std::chrono::duration<double>(delay));
    base::Scheduler& scheduler = scheduler_ ? *scheduler_ : base::Scheduler::shared();
    scheduler.after(duration, queue, std::move(block));
}
