#include "kits/trellis/TRLNetworkClient.h"
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string_view>

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

// A plain, finite, non-negative decimal number of seconds (no hexadecimal,
// "inf" or "nan").
std::optional<double> secondsValue(const std::string& text) {
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

// Reads `count` digits at `at` (a leading space stands for a zero where
// `spacePadded`), moving `at` past them.
std::optional<int> digits(std::string_view text, size_t& at, size_t count, bool spacePadded = false) {
    if (at + count > text.size()) return std::nullopt;
    int value = 0;
    for (size_t i = 0; i < count; ++i) {
        char c = text[at + i];
        if (c == ' ' && spacePadded && i == 0 && count > 1) continue;
        if (!base::isAsciiDigit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    at += count;
    return value;
}

bool literal(std::string_view text, size_t& at, std::string_view expected) {
    if (text.substr(at, expected.size()) != expected) return false;
    at += expected.size();
    return true;
}

// One of `names` at `at` (exactly, as the date formats spell them); its index.
template <size_t N>
std::optional<int> name(std::string_view text, size_t& at, const std::array<std::string_view, N>& names) {
    for (size_t i = 0; i < N; ++i)
        if (literal(text, at, names[i])) return static_cast<int>(i);
    return std::nullopt;
}

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> kDays = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::array<std::string_view, 7> kLongDays = {"Monday", "Tuesday", "Wednesday", "Thursday",
                                                       "Friday", "Saturday", "Sunday"};

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// An HTTP date in any of its three forms: "Sun, 06 Nov 1994 08:49:37 GMT",
// the obsolete "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994".
// Seconds since the epoch.
std::optional<std::int64_t> httpDate(std::string_view text, std::chrono::system_clock::time_point now) {
    size_t at = 0;
    std::optional<int> day, month, year, hour, minute, second;
    auto clock = [&] {
        hour = digits(text, at, 2);
        if (!hour || !literal(text, at, ":")) return false;
        minute = digits(text, at, 2);
        if (!minute || !literal(text, at, ":")) return false;
        second = digits(text, at, 2);
        return second.has_value();
    };
    if (name(text, at, kLongDays)) {
        // Two-digit year: the most recent year with those digits that is not
        // more than 50 years ahead.
        if (!literal(text, at, ", ") || !(day = digits(text, at, 2)) || !literal(text, at, "-") ||
            !(month = name(text, at, kMonths)) || !literal(text, at, "-") || !(year = digits(text, at, 2)) ||
            !literal(text, at, " ") || !clock() || !literal(text, at, " GMT"))
            return std::nullopt;
        const std::time_t t = std::chrono::system_clock::to_time_t(now);
        std::tm tm{};
        ::gmtime_r(&t, &tm);
        const int thisYear = tm.tm_year + 1900;
        int full = thisYear - thisYear % 100 + *year;
        if (full > thisYear + 50) full -= 100;
        year = full;
    } else if (name(text, at, kDays)) {
        if (literal(text, at, ", ")) {
            if (!(day = digits(text, at, 2)) || !literal(text, at, " ") || !(month = name(text, at, kMonths)) ||
                !literal(text, at, " ") || !(year = digits(text, at, 4)) || !literal(text, at, " ") || !clock() ||
                !literal(text, at, " GMT"))
                return std::nullopt;
        } else if (!literal(text, at, " ") || !(month = name(text, at, kMonths)) || !literal(text, at, " ") ||
                   !(day = digits(text, at, 2, true)) || !literal(text, at, " ") || !clock() ||
                   !literal(text, at, " ") || !(year = digits(text, at, 4))) {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;
    static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (*day < 1 || *day > kMonthDays[*month] || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    return daysFromCivil(*year, *month + 1, *day) * 86400 + *hour * 3600 + *minute * 60 + std::min(*second, 59);
}

// The delay the server named: a number of seconds, or the time until the
// date it gave (nothing for a date already past).
std::optional<double> namedRetryAfter(const TRLHTTPURLResponse* response, std::chrono::system_clock::time_point now) {
    auto header = TRLNetworkResponseHandler::headerForResponse(response, "Retry-After");
    if (!header) return std::nullopt;
    std::string text = base::trim(*header);
    if (text.empty()) return std::nullopt;
    if (auto seconds = secondsValue(text)) return seconds;
    auto date = httpDate(text, now);
    if (!date) return std::nullopt;
    const double untilThen =
        static_cast<double>(*date) - std::chrono::duration<double>(now.time_since_epoch()).count();
    return std::max(untilThen, 0.0);
}

}  // namespace

double TRLNetworkResponseHandler::retryValueForResponse(const TRLHTTPURLResponse* response) {
    return retryValueForResponse(response, std::chrono::system_clock::now());
}

double TRLNetworkResponseHandler::retryValueForResponse(const TRLHTTPURLResponse* response,
                                                        std::chrono::system_clock::time_point now) {
    return namedRetryAfter(response, now).value_or(kDefaultRetryAfter);
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
    std::chrono::system_clock::time_point now;
    {
        std::lock_guard lock(randomMutex_);
        now = wallClock_ ? wallClock_() : std::chrono::system_clock::now();
    }
    const auto named = namedRetryAfter(response, now);
    const double multiplier = tries == 0 ? 1 : tries;
    // Capped first, so that capped waits are spread as widely as any other.
    const double wait = std::min(std::max(named.value_or(kDefaultRetryAfter), kTRLMinimumRetryDelay) * multiplier,
                                 kTRLMaximumRetryDelay);  // may be infinite before the cap for an absurd header
    if (!named) return wait * generateRandomJitter();
    // Clients told the same time spread out after it, never before it.
    const double spread = std::min(randomDoubleWithMin(1.0, kTRLRetrySpread), std::nextafter(kTRLRetrySpread, 1.0));
    return wait * spread;
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

void TRLNetworkClient::setWallClock(std::function<std::chrono::system_clock::time_point()> clock) {
    std::lock_guard lock(randomMutex_);
    wallClock_ = std::move(clock);
}

void TRLNetworkClient::runAfterRetryValueFromResponse(const TRLHTTPURLResponse* response, unsigned attempts,
                                                      base::Task block) {
    runAfterRetryValueFromResponse(response, attempts, &base::ThreadPool::shared(), std::move(block));
}

void TRLNetworkClient::runAfterRetryValueFromResponse(const TRLHTTPURLResponse* response, unsigned attempts,
                                                      base::Executor* queue, base::Task block) {
    double delay = computeDelayForResponse(response, attempts);  // finite, below kTRLRetrySpread x the cap
    auto duration = std::chrono::duration_cast<base::Duration>(std::chrono::duration<double>(delay));
    base::Scheduler& scheduler = scheduler_ ? *scheduler_ : base::Scheduler::shared();
    scheduler.after(duration, queue, std::move(block));
}
