#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <tuple>

#include "LogCapture.h"
#include "LoopbackServer.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "TrellisTestSupport.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLUtilities.h"

using testsupport::LoopbackServer;
using testsupport::Reply;
using testsupport::TestCerts;
using trellistest::Latch;

namespace {

// The loopback server may write to a client that hung up in a refused
// handshake; that must fail the write, not end the test program.
const bool kIgnoreBrokenPipes = (std::signal(SIGPIPE, SIG_IGN), true);

struct Outcome {
    std::optional<std::string> data;
    std::shared_ptr<const TRLHTTPURLResponse> response;
    std::optional<base::Error> error;
    std::atomic<int> calls{0};
    Latch done;
};

BBXDataTaskCompletion recorder(const std::shared_ptr<Outcome>& out) {
    return [out](std::optional<std::string> data, std::shared_ptr<const TRLHTTPURLResponse> response,
                 std::optional<base::Error> error) {
        out->data = std::move(data);
        out->response = std::move(response);
        out->error = std::move(error);
        ++out->calls;
        out->done.signal();
    };
}

std::shared_ptr<Outcome> fetch(TRLNetworkClient& client, const std::string& url, unsigned retryLimit = 10) {
    auto out = std::make_shared<Outcome>();
    TRLURLRequest request;
    request.url = url;
    client.startDataTaskWithRequest(request, retryLimit, recorder(out));
    EXPECT_TRUE(out->done.wait()) << url;
    return out;
}

TRLCertificateList certsFrom(const std::string& pemFile) {
    auto cert = TRLCertificate::fromPEM(base::readFile(pemFile).value_or(""));
    EXPECT_TRUE(cert) << pemFile;
    return {cert};
}

// Restores the process-wide test switches.
struct TransportSwitches {
    ~TransportSwitches() {
        BBXURLSession::setDefaultTrustFileForTesting("");
        BBXURLSession::setResolveOverridesForTesting({});
        TRLSetDebugEnabled(false);
    }
};

}  // namespace

TEST(TrellisResponseHandler, ClassifiesEveryStatusCode) {
    const std::set<long> success = {200, 201, 202, 204, 304};
    const std::set<long> client = {400, 401, 403, 404, 406, 410, 411, 413, 419, 422, 431};
    const std::set<long> rate = {420, 429};
    for (long status = 0; status < 700; ++status) {
        TRLNetworkClientResponseType expected = TRLNetworkClientResponseType::Other;
        if (success.count(status)) expected = TRLNetworkClientResponseType::Success;
        else if (client.count(status)) expected = TRLNetworkClientResponseType::ClientError;
        else if (rate.count(status)) expected = TRLNetworkClientResponseType::RateLimited;
        else if (status == 408 || (status >= 500 && status <= 599)) expected = TRLNetworkClientResponseType::Retry;
        EXPECT_EQ(TRLNetworkResponseHandler::responseTypeForStatus(status), expected) << status;
    }
    int calls = 0;
    TRLNetworkResponseHandler::clientResponseType(nullptr, [&](TRLNetworkClientResponseType type, long status) {
        ++calls;
        EXPECT_EQ(type, TRLNetworkClientResponseType::Other);
        EXPECT_EQ(status, 0);
    });
    EXPECT_EQ(calls, 1);
}

TEST(TrellisResponseHandler, OutcomesErrorsAndContentTypes) {
    auto decide = [](long status, TRLHeaderList headers, TRLHeaderList requestHeaders,
                     std::optional<base::Error> transport = std::nullopt) {
        TRLHTTPURLResponse response;
        response.statusCode = status;
        response.headers = std::move(headers);
        TRLURLRequest request;
        request.headers = std::move(requestHeaders);
        std::pair<bool, std::optional<base::Error>> result;
        int calls = 0;
        TRLNetworkResponseHandler::handleCompletedResponse(&response, request, transport,
                                                           [&](bool retry, std::optional<base::Error> error) {
                                                               ++calls;
                                                               result = {retry, error};
                                                           });
        EXPECT_EQ(calls, 1);
        return result;
    };
    auto r404 = decide(404, {{"X-Request-Id", "req-1"}, {"Content-Type", "text/html"}}, {});
    EXPECT_FALSE(r404.first);
    ASSERT_TRUE(r404.second);
    EXPECT_EQ(r404.second->domain, "TRLNetworkError");
    EXPECT_EQ(r404.second->code, -5);
    EXPECT_EQ(r404.second->userInfo["status_code"], 404);
    EXPECT_EQ(r404.second->userInfo["type"], 2);
    EXPECT_EQ(r404.second->userInfo["request_id"], "req-1");
    EXPECT_EQ(r404.second->userInfo["content_type"], "text/html");
    EXPECT_EQ(decide(203, {}, {}).second->code, -4);
    EXPECT_EQ(decide(203, {}, {}).second->userInfo["request_id"], "");
    EXPECT_FALSE(decide(304, {}, {}).second);
    auto r429 = decide(429, {}, {});
    EXPECT_TRUE(r429.first);
    EXPECT_EQ(r429.second->code, -1);
    EXPECT_TRUE(decide(408, {}, {}).first);
    // A transport error passes through unchanged and is never retried.
    auto t = decide(503, {}, {}, base::Error("NSURLErrorDomain", -1001));
    EXPECT_FALSE(t.first);
    EXPECT_EQ(t.second->code, -1001);

    TRLHeaderList acceptJson = {{"Accept", "application/json"}, {"Accept-Charset", "utf-8"}};
    EXPECT_EQ(decide(200, {{"Content-Type", "application/json;charset=utf-8"}}, acceptJson).second->code, -4);
    EXPECT_FALSE(decide(200, {{"Content-Type", "Application/JSON; charset=UTF-8"}}, acceptJson).second);
    EXPECT_TRUE(decide(200, {{"Content-Type", "application/json; charset=latin1"}}, acceptJson).second);
    EXPECT_TRUE(decide(200, {}, acceptJson).second);     // no content type at all
    EXPECT_FALSE(decide(200, {}, {}).second);            // nothing asked for
    EXPECT_FALSE(decide(200, {{"Content-Type", "application/json"}}, acceptJson).second);
}

TEST(TrellisResponseHandler, RetryAfterIsASecondsCount) {
    auto retry = [](std::optional<std::string> value) {
        TRLHTTPURLResponse r;
        if (value) r.headers.emplace_back("Retry-After", *value);
        return TRLNetworkResponseHandler::retryValueForResponse(&r);
    };
    EXPECT_EQ(retry(std::nullopt), 300);
    EXPECT_EQ(retry("-5"), 300);
    EXPECT_EQ(retry("1.5"), 1.5);
    EXPECT_EQ(retry(" 12 "), 12);
    EXPECT_EQ(retry("Wed, 21 Oct 2015 07:28:00 GMT"), 0) << "a date already past asks for no wait";
    EXPECT_EQ(retry("nan"), 300);
    EXPECT_EQ(retry("inf"), 300);
    EXPECT_EQ(retry("0x10"), 300);
    EXPECT_EQ(retry(""), 300);
    EXPECT_EQ(TRLNetworkResponseHandler::retryValueForResponse(nullptr), 300);
}

// An HTTP date (in each of the three forms a recipient must read) names the
// wait until then.
TEST(TrellisResponseHandler, RetryAfterAsADateIsTheTimeUntilThen) {
    const auto now = std::chrono::system_clock::now();
    auto retry = [](const std::string& value) {
        TRLHTTPURLResponse r;
        r.headers.emplace_back("Retry-After", value);
        return TRLNetworkResponseHandler::retryValueForResponse(&r);
    };
    auto format = [](std::chrono::system_clock::time_point at, const char* pattern) {
        const std::time_t t = std::chrono::system_clock::to_time_t(at);
        std::tm tm{};
        ::gmtime_r(&t, &tm);
        char text[64];  // the test program keeps the C locale: English names
        std::strftime(text, sizeof text, pattern, &tm);
        return std::string(text);
    };
    const auto ahead = now + std::chrono::seconds(600);
    for (const char* pattern : {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %e %H:%M:%S %Y"}) {
        SCOPED_TRACE(pattern);
        const double seconds = retry(format(ahead, pattern));
        EXPECT_GT(seconds, 598);  // whole seconds, read a moment after `now`
        EXPECT_LE(seconds, 600);
    }
    EXPECT_EQ(retry(format(now - std::chrono::hours(2), "%a, %d %b %Y %H:%M:%S GMT")), 0);
    // Not quite a date: the header is ignored.
    for (const char* broken : {"Wed, 21 Oct 2015 07:28:00", "Wed, 32 Oct 2015 07:28:00 GMT", "Wed, 21 Okt 2015 07:28:00 GMT",
                               "Wed, 21 Oct 2015 25:28:00 GMT", "Wed, 21 Oct 2015 07:28:00 GMT junk"})
        EXPECT_EQ(retry(broken), 300) << broken;

    // Two hours ahead waits the capped hour, spread above it like a number of seconds.
    auto client = TRLNetworkClient::create();
    ASSERT_TRUE(client);
    TRLHTTPURLResponse later;
    later.headers = {{"Retry-After", format(now + std::chrono::hours(2), "%a, %d %b %Y %H:%M:%S GMT")}};
    for (int i = 0; i < 50; ++i) {
        const double d = client->computeDelayForResponse(&later, 0);
        EXPECT_GE(d, kTRLMaximumRetryDelay);
        EXPECT_LT(d, 1.2 * kTRLMaximumRetryDelay);
    }
}

TEST(TrellisNetworkClient, BackOffGrowsWithTriesAndStaysInTheJitterBand) {
    auto client = TRLNetworkClient::create();
    ASSERT_TRUE(client);
    TRLHTTPURLResponse none;
    double r = 0;
    client->setRandomSource([&] { return r; });
    EXPECT_DOUBLE_EQ(client->computeDelayForResponse(&none, 0), static_cast<double>(0.9f) * 300);
    EXPECT_DOUBLE_EQ(client->computeDelayForResponse(&none, 1), static_cast<double>(0.9f) * 300);
    EXPECT_DOUBLE_EQ(client->computeDelayForResponse(&none, 3), static_cast<double>(0.9f) * 900);
    r = 0.5;
    TRLHTTPURLResponse soon;
    soon.headers = {{"Retry-After", "1.5"}};
    EXPECT_NEAR(client->computeDelayForResponse(&soon, 2), 3.3, 1e-6) << "a named delay is spread above it";
    // The default generator stays within [270, 330) for a 503 without Retry-After.
    client->setRandomSource(nullptr);
    for (int i = 0; i < 200; ++i) {
        double d = client->computeDelayForResponse(&none, 0);
        EXPECT_GE(d, 269.99);
        EXPECT_LT(d, 330.01);
    }
}

// Clients told the same delay come back spread over the fifth above it, none
// sooner: capped delays too, and a delay of nothing waits a second.
TEST(TrellisNetworkClient, ANamedDelayIsSpreadAboveItAndNeverUnderASecond) {
    auto client = TRLNetworkClient::create();
    ASSERT_TRUE(client);
    auto asking = [](const std::string& seconds) {
        TRLHTTPURLResponse response;
        response.headers = {{"Retry-After", seconds}};
        return response;
    };
    for (auto [header, tries, named] : {std::tuple{"120", 0u, 120.0}, std::tuple{"120", 1u, 120.0},
                                        std::tuple{"120", 4u, 480.0}, std::tuple{"10000000000", 0u, 3600.0},
                                        std::tuple{"1000", 9u, 3600.0}, std::tuple{"0", 0u, 1.0},
                                        std::tuple{"0.001", 1u, 1.0}}) {
        SCOPED_TRACE(std::string(header) + " after " + std::to_string(tries) + " tries");
        const auto response = asking(header);
        std::set<double> seen;
        double low = 2 * named, high = 0;
        for (int i = 0; i < 400; ++i) {
            const double d = client->computeDelayForResponse(&response, tries);
            ASSERT_GE(d, named);
            ASSERT_LT(d, 1.2 * named);
            seen.insert(d);
            low = std::min(low, d);
            high = std::max(high, d);
        }
        EXPECT_GT(seen.size(), 390u) << "retries bunch on one instant";
        EXPECT_LT(low, 1.02 * named);
        EXPECT_GT(high, 1.18 * named);
    }
    // Nothing usable named: the usual pause, never under a second either.
    for (const char* header : {"-5", "soon", "", "-0"}) {
        const auto response = asking(header);
        EXPECT_GE(client->computeDelayForResponse(&response, 0), 1) << header;
    }
}

TEST(TrellisNetworkClient, RetriesUntilSuccessOrTheLimit) {
    LoopbackServer server;
    auto client = TRLNetworkClient::create();
    auto clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler scheduler(clock);
    client->setScheduler(&scheduler);
    // Each retry waits for its timer: advances the clock by `seconds` once one is set.
    auto after = [&](double seconds) {
        EXPECT_TRUE(trellistest::waitUntil([&] { return scheduler.pendingCount() == 1; }, 30000));
        clock->advance(std::chrono::duration_cast<base::Duration>(std::chrono::duration<double>(seconds)));
    };
    server.enqueue(Reply{503, {{"Retry-After", "0"}}, "busy"});
    server.enqueue(Reply{429, {{"Retry-After", "0.01"}}, ""});
    server.enqueue(Reply{200, {{"Content-Type", "text/plain"}}, "done"});
    auto ok = std::make_shared<Outcome>();
    TRLURLRequest request;
    request.url = server.baseUrl() + "/a";
    client->startDataTaskWithRequest(request, recorder(ok));
    after(0.999);
    EXPECT_FALSE(server.waitForRequests(2, 200)) << "asked again within a second";
    after(0.25);
    ASSERT_TRUE(server.waitForRequests(2));
    after(0.999);
    EXPECT_FALSE(server.waitForRequests(3, 200)) << "asked again within a second";
    after(0.25);
    ASSERT_TRUE(ok->done.wait());
    EXPECT_FALSE(ok->error);
    EXPECT_EQ(ok->data.value_or(""), "done");
    EXPECT_EQ(ok->response->statusCode, 200);
    EXPECT_EQ(server.requestCount(), 3u);

    // Retry limit 1: two retryable answers end in -6 without data.
    server.enqueue(Reply{500, {{"Retry-After", "0"}}, "x"});
    server.enqueue(Reply{500, {{"Retry-After", "0"}}, "x"});
    auto limited = std::make_shared<Outcome>();
    request.url = server.baseUrl() + "/b";
    client->startDataTaskWithRequest(request, 1, recorder(limited));
    after(1.25);
    ASSERT_TRUE(limited->done.wait());
    ASSERT_TRUE(limited->error);
    EXPECT_EQ(limited->error->code, -6);
    EXPECT_FALSE(limited->data);
    EXPECT_FALSE(limited->response);
    EXPECT_EQ(server.requestCount(), 5u);

    server.enqueue(Reply{404, {}, "missing"});
    auto missing = fetch(*client, server.baseUrl() + "/c");
    EXPECT_EQ(missing->error->code, -5);
    EXPECT_EQ(missing->data.value_or(""), "missing");
    EXPECT_EQ(server.requestCount(), 6u);
    EXPECT_EQ(missing->calls.load(), 1);
}

// A server that names its delay is not asked again sooner, however long the
// delay; an absurd one waits the hour every wait is capped at, not a moment.
TEST(TrellisNetworkClient, ALongRetryAfterWaitsTheCappedHourNeverLess) {
    auto client = TRLNetworkClient::create();
    ASSERT_TRUE(client);
    double draw = 0;
    client->setRandomSource([&] { return draw; });
    auto asking = [](const std::string& seconds) {
        TRLHTTPURLResponse response;
        response.statusCode = 503;
        response.headers = {{"Retry-After", seconds}};
        return response;
    };
    const auto huge = asking("10000000000"), five = asking("5");
    const TRLHTTPURLResponse none;
    for (double d : {0.0, 0.999}) {
        draw = d;
        for (unsigned tries : {0u, 1u, 10u, 100000u}) {
            EXPECT_GE(client->computeDelayForResponse(&huge, tries), 3600);
            EXPECT_LT(client->computeDelayForResponse(&huge, tries), 1.2 * 3600);
        }
        EXPECT_LT(client->computeDelayForResponse(&none, 100000), 1.2 * 3600);
    }
    draw = 0;
    EXPECT_EQ(client->computeDelayForResponse(&five, 1), 5) << "the jitter never brings a retry forward";
    EXPECT_EQ(client->computeDelayForResponse(&five, 3), 15);

    // Over the wire, with a jitter above 1: one request, then none until the hour is up.
    draw = 0.5;
    LoopbackServer server;
    server.enqueue(Reply{503, {{"Retry-After", "10000000000"}}, ""});
    server.enqueue(Reply{200, {}, "at last"});
    auto clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler scheduler(clock);
    client->setScheduler(&scheduler);
    auto out = std::make_shared<Outcome>();
    TRLURLRequest request;
    request.url = server.baseUrl() + "/busy";
    client->startDataTaskWithRequest(request, recorder(out));
    ASSERT_TRUE(trellistest::waitUntil([&] { return scheduler.pendingCount() == 1; }));
    clock->advance(std::chrono::seconds(3601));
    EXPECT_FALSE(server.waitForRequests(2, 300)) << "retried at the hour, with no spread";
    clock->advance(std::chrono::seconds(3600 / 5));
    ASSERT_TRUE(out->done.wait());
    EXPECT_EQ(out->data.value_or(""), "at last");
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST(TrellisNetworkClient, PendingRetryOnAReleasedClientEndsOnce) {
    LoopbackServer server;
    auto clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler scheduler(clock);
    auto client = TRLNetworkClient::create();
    client->setScheduler(&scheduler);
    server.enqueue(Reply{503, {}, ""});  // no Retry-After: about 300 s
    auto out = std::make_shared<Outcome>();
    TRLURLRequest request;
    request.url = server.baseUrl() + "/slow";
    client->startDataTaskWithRequest(request, recorder(out));
    ASSERT_TRUE(server.waitForRequests(1));
    for (int i = 0; i < 200 && scheduler.pendingCount() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(scheduler.pendingCount(), 1u);
    client.reset();
    clock->advance(std::chrono::seconds(400));
    ASSERT_TRUE(out->done.wait());
    EXPECT_EQ(out->error->code, -3);
    EXPECT_EQ(scheduler.pendingCount(), 0u) << "no timer is left that could call again";
    EXPECT_EQ(out->calls.load(), 1);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(TrellisNetworkClient, InvalidatedClientTransportErrorsAndDownloads) {
    LoopbackServer server;
    auto client = TRLNetworkClient::create();
    server.enqueue(Reply{200, {}, "file body"});
    auto got = std::make_shared<Outcome>();
    std::string location;
    TRLURLRequest request;
    request.url = server.baseUrl() + "/file";
    client->startDownloadTaskWithRequest(request, [&, got](std::optional<std::string> path, auto response, auto error) {
        location = path.value_or("");
        got->data = base::readFile(location);
        got->error = error;
        got->response = response;
        got->done.signal();
    });
    ASSERT_TRUE(got->done.wait());
    EXPECT_FALSE(got->error);
    EXPECT_EQ(got->data.value_or(""), "file body");
    for (int i = 0; i < 100 && std::filesystem::exists(location); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(std::filesystem::exists(location));  // removed once the handler returned

    // Nothing listens on a stopped server's port: the transport error passes through.
    LoopbackServer gone;
    std::string url = gone.baseUrl() + "/x";
    gone.stop();
    auto refused = fetch(*client, url);
    EXPECT_EQ(refused->error->domain, "NSURLErrorDomain");

    client->invalidateAndCancel();
    auto out = std::make_shared<Outcome>();
    request.url = server.baseUrl() + "/late";
    client->startDataTaskWithRequest(request, recorder(out));
    EXPECT_EQ(out->calls.load(), 1);  // at once
    EXPECT_EQ(out->error->code, -3);
}

TEST(TrellisNetworkClient, PinnedClientTrustsOnlyItsRoots) {
    TransportSwitches restore;
    LoopbackServer server(testsupport::TlsFiles{TestCerts::serverCert(), TestCerts::serverKey()});
    server.setHandler([](const testsupport::RecordedRequest&) { return Reply{200, {}, "secret"}; });
    std::string url = server.baseUrl() + "/s";

    auto pinned = TRLNetworkClient::create(nullptr, certsFrom(TestCerts::caCert()));
    auto ok = fetch(*pinned, url);
    EXPECT_FALSE(ok->error) << ok->error->localizedDescription();
    EXPECT_EQ(ok->data.value_or(""), "secret");

    // The "system" trusts the test root, but the client pins another one.
    BBXURLSession::setDefaultTrustFileForTesting(TestCerts::caCert());
    auto other = TRLNetworkClient::create(nullptr, certsFrom(TestCerts::otherCaCert()));
    auto refused = fetch(*other, url);
    ASSERT_TRUE(refused->error);
    EXPECT_EQ(refused->error->domain, "NSURLErrorDomain");
    EXPECT_FALSE(refused->data);
    auto unpinned = TRLNetworkClient::create();
    EXPECT_FALSE(fetch(*unpinned, url)->error);
    // Debug mode turns pinning off: the system's trust decides.
    TRLSetDebugEnabled(true);
    EXPECT_FALSE(fetch(*other, url)->error);
    TRLSetDebugEnabled(false);

    // An empty pin set trusts nobody: the challenge is cancelled.
    auto empty = TRLNetworkClient::create(nullptr, TRLCertificateList{});
    auto none = fetch(*empty, url);
    ASSERT_TRUE(none->error);
    EXPECT_EQ(none->error->code, -999);

    // A chain to the pinned root for another host name.
    BBXURLSession::setResolveOverridesForTesting({"wrong.example:" + std::to_string(server.port()) + ":127.0.0.1"});
    auto wrongHost = fetch(*pinned, "https://wrong.example:" + std::to_string(server.port()) + "/s");
    ASSERT_TRUE(wrongHost->error);
    EXPECT_EQ(wrongHost->error->domain, "NSURLErrorDomain");

    // The SDK's own roots do not include the test root.
    BBXURLSession::setResolveOverridesForTesting({});
    auto sdk = TRLNetworkClient::create(nullptr, TRLPinnedCertificates());
    EXPECT_TRUE(fetch(*sdk, url)->error);
    EXPECT_EQ(server.requestCount(), 3u);  // the refused ones never got as far as a request

    // A posted body (as the analytics upload sends it) or an uploaded file,
    // redirected from https to plain http, is not sent on in the clear.
    LoopbackServer plain;
    for (int status : {302, 307, 308}) {
        SCOPED_TRACE(status);
        server.setHandler([&plain, status](const testsupport::RecordedRequest&) {
            return Reply{status, {{"Location", plain.baseUrl() + "/clear"}}, ""};
        });
        TRLURLRequest post;
        post.url = url;
        post.method = "POST";
        post.body = "events";
        auto out = std::make_shared<Outcome>();
        pinned->startDataTaskWithRequest(post, 0, recorder(out));
        ASSERT_TRUE(out->done.wait());
        EXPECT_TRUE(out->error);
        testsupport::TempDir dir;
        ASSERT_TRUE(base::writeFileAtomically(dir.file("report"), "report"));
        Latch uploaded;
        pinned->session()->uploadTaskWithRequest(post, dir.file("report"), [&](auto, auto, auto) { uploaded.signal(); })
            ->resume();
        ASSERT_TRUE(uploaded.wait());
    }
    EXPECT_EQ(plain.requestCount(), 0u) << "followed a redirect from https to http";
}

TEST(TrellisNetworkClient, PasswordChallengesOnAPinnedClientAreCancelled) {
    TransportSwitches restore;
    LoopbackServer server(testsupport::TlsFiles{TestCerts::serverCert(), TestCerts::serverKey()});
    server.setHandler([](const testsupport::RecordedRequest& r) {
        if (r.path == "/proxy") return Reply{407, {{"Proxy-Authenticate", "Basic realm=\"proxy\""}}, ""};
        return Reply{401, {{"WWW-Authenticate", "Basic realm=\"booth\""}}, "denied"};
    });
    auto pinned = TRLNetworkClient::create(nullptr, certsFrom(TestCerts::caCert()));
    for (const char* path : {"/login", "/proxy"}) {
        auto refused = fetch(*pinned, server.baseUrl() + path);
        ASSERT_TRUE(refused->error) << path;
        EXPECT_EQ(refused->error->domain, "NSURLErrorDomain") << path;
        EXPECT_EQ(refused->error->code, -999) << path;
        EXPECT_FALSE(refused->response) << path;
        EXPECT_FALSE(refused->data) << path;
        EXPECT_EQ(refused->calls.load(), 1);
    }
    // Unpinned, the default handling hands the reply over as a client error.
    BBXURLSession::setDefaultTrustFileForTesting(TestCerts::caCert());
    auto unpinned = TRLNetworkClient::create();
    auto delivered = fetch(*unpinned, server.baseUrl() + "/login");
    ASSERT_TRUE(delivered->error);
    EXPECT_EQ(delivered->error->code, -5);
    ASSERT_TRUE(delivered->response);
    EXPECT_EQ(delivered->response->statusCode, 401);
    EXPECT_EQ(delivered->data.value_or(""), "denied");
    // So does a pinned client in debug mode.
    TRLSetDebugEnabled(true);
    EXPECT_EQ(fetch(*pinned, server.baseUrl() + "/login")->error->code, -5);
}

// A proxy that wants a password before it opens the HTTPS tunnel: a pinned
// client cancels the challenge, an unpinned one hands over the proxy's 407,
// and the log says what happened instead of a lost connection.
TEST(TrellisNetworkClient, AProxyAskingForAPasswordOnATunnelIsAChallenge) {
    TransportSwitches restore;
    LoopbackServer proxy;
    proxy.setHandler([](const testsupport::RecordedRequest&) {
        return Reply{407, {{"Proxy-Authenticate", "Basic realm=\"office\""}}, "who are you?"};
    });
    testsupport::ScopedEnv via("https_proxy", proxy.baseUrl().c_str());
    testsupport::ScopedEnv viaUpper("HTTPS_PROXY", nullptr);
    testsupport::ScopedEnv direct("no_proxy", nullptr), directUpper("NO_PROXY", nullptr);
    testsupport::LogCapture log;
    // Only the proxy ever sees this name: the client resolves nothing itself.
    const std::string url = "https://booth.example/settings";

    auto pinned = TRLNetworkClient::create(nullptr, certsFrom(TestCerts::caCert()));
    auto cancelled = fetch(*pinned, url);
    ASSERT_TRUE(cancelled->error);
    EXPECT_EQ(cancelled->error->domain, "NSURLErrorDomain");
    EXPECT_EQ(cancelled->error->code, -999);
    EXPECT_FALSE(cancelled->response);

    auto unpinned = TRLNetworkClient::create();
    auto status = fetch(*unpinned, url);
    ASSERT_TRUE(status->error);
    EXPECT_EQ(status->error->domain, "TRLNetworkError");
    EXPECT_EQ(status->error->userInfo["status_code"], 407);
    ASSERT_TRUE(status->response);
    EXPECT_EQ(status->response->statusCode, 407);

    ASSERT_EQ(proxy.requestCount(), 2u);
    EXPECT_EQ(proxy.requests()[0].method, "CONNECT");
    EXPECT_EQ(proxy.requests()[0].target, "booth.example:443");
    auto said = log.lines("wants a password", spdlog::level::warn);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0].text.find("booth.example:443"), std::string::npos) << said[0].text;
    EXPECT_EQ(said[0].text.find("/settings"), std::string::npos) << "no path or query is logged";
}

// The system's store holds the test root instead of the public ones: a
// private mount namespace puts it in the system bundle's place. The test
// runs itself again inside one; machines that cannot make one skip it.
TEST(TrellisNetworkClient, PinnedClientDoesNotAlsoTrustTheSystemsStore) {
    if (!std::getenv("FLASHWREN_TEST_SYSTEM_ROOTS")) {
        if (std::system("unshare -rm true >/dev/null 2>&1") != 0) GTEST_SKIP() << "no private mount namespace here";
        char self[4096] = {};
        ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
        testsupport::TempDir roots;
        std::filesystem::copy_file(TestCerts::caCert(), roots.file("ca-certificates.crt"));
        std::filesystem::copy_file(TestCerts::caCert(), roots.file("test-root.pem"));
        const std::string command =
            "openssl rehash '" + roots.path() + "' && unshare -rm sh -c 'mount --bind \"$0\" /etc/ssl/certs && "
            "FLASHWREN_TEST_SYSTEM_ROOTS=1 exec \"$1\" --gtest_filter=TrellisNetworkClient.PinnedClientDoesNotAlso*' '" +
            roots.path() + "' '" + self + "'";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run over the test roots failed";
        return;
    }
    LoopbackServer server(testsupport::TlsFiles{TestCerts::serverCert(), TestCerts::serverKey()});
    server.setHandler([](const testsupport::RecordedRequest&) { return Reply{200, {}, "secret"}; });
    const std::string url = server.baseUrl() + "/s";
    // The system's own trust now reaches the test root...
    auto unpinned = TRLNetworkClient::create();
    auto trusted = fetch(*unpinned, url);
    ASSERT_FALSE(trusted->error) << trusted->error->localizedDescription();
    // ...which counts for no pinned client.
    for (auto pins : {TRLPinnedCertificates(), certsFrom(TestCerts::otherCaCert())}) {
        auto pinned = TRLNetworkClient::create(nullptr, pins);
        auto refused = fetch(*pinned, url);
        ASSERT_TRUE(refused->error);
        EXPECT_EQ(refused->error->domain, "NSURLErrorDomain");
        EXPECT_FALSE(refused->data);
    }
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(TrellisNetworkClient, TheEightPinnedRootsAreCompiledIn) {
    const auto& certs = TRLPinnedCertificates();
    ASSERT_EQ(certs.size(), 8u);
    const std::size_t sizes[] = {1082, 1173, 969, 1239, 1054, 1053, 1054, 1054};
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(certs[i]->der().size(), sizes[i]) << i;
    EXPECT_EQ(certs[0]->subjectCommonName(), "AddTrust External CA Root");
    EXPECT_EQ(certs[2]->subjectCommonName(), "DigiCert High Assurance EV Root CA");
    EXPECT_EQ(&TRLPinnedCertificates(), &certs);
    const std::uint8_t junk[] = {0x30, 0x03, 0x02, 0x01, 0x00};
    EXPECT_EQ(TRLCertificateFromDERBytes(junk, sizeof junk), nullptr);
    EXPECT_EQ(TRLCertificateFromDERBytes(nullptr, 0), nullptr);
    auto again = TRLCertificateFromDERBytes(reinterpret_cast<const std::uint8_t*>(certs[3]->der().data()),
                                            certs[3]->der().size());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->pem(), certs[3]->pem());
}

TEST(TrellisCertificatePinner, AnswersEveryChallengeExactlyOnce) {
    auto session = BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration());
    TRLCertificatePinner pinner(certsFrom(TestCerts::caCert()));
    auto answer = [&](const TRLCertificatePinner& p, BBXURLAuthenticationChallenge challenge) {
        int calls = 0;
        BBXURLSessionAuthChallengeDisposition got{};
        std::optional<BBXURLCredential> credential;
        bool used = p.handleChallenge(challenge, *session, [&](auto disposition, auto cred) {
            ++calls;
            got = disposition;
            credential = cred;
        });
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(used, got == BBXURLSessionAuthChallengeDisposition::UseCredential);
        return std::make_pair(got, credential);
    };
    // A password challenge carries no server trust: cancelled, never default handling.
    auto password = answer(pinner, {"h", 443, "NSURLAuthenticationMethodHTTPBasic", nullptr});
    EXPECT_EQ(password.first, BBXURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge);

    auto trust = std::make_shared<TRLServerTrust>("h", 443);
    auto pinned = answer(pinner, {"h", 443, kBBXAuthenticationMethodServerTrust, trust});
    EXPECT_EQ(pinned.first, BBXURLSessionAuthChallengeDisposition::UseCredential);
    ASSERT_TRUE(pinned.second && pinned.second->trust);
    EXPECT_TRUE(pinned.second->trust->anchorsOnly());
    EXPECT_EQ(pinned.second->trust->anchors().size(), 1u);

    TRLCertificatePinner empty({});
    int result = -1;
    TRLServerTrust other("h", 443);
    EXPECT_EQ(empty.evaluateTrust(other, &result), 0);
    EXPECT_EQ(result, TRLServerTrust::Invalid);
    EXPECT_EQ(answer(empty, {"h", 443, kBBXAuthenticationMethodServerTrust, trust}).first,
              BBXURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge);
}
