#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "LoopbackServer.h"
#include "TrellisTestSupport.h"
#include "kits/trellis/BBXURLSession.h"

using testsupport::LoopbackServer;
using testsupport::Reply;
using trellistest::Latch;

namespace {

class RecordingDelegate : public BBXURLSessionDelegate {
public:
    std::mutex mutex;
    std::vector<std::string> events;
    std::string body;
    Latch completed;
    Latch invalid;
    void add(std::string e) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(e));
    }
    void didReceiveResponse(BBXURLSession&, BBXURLSessionTask&, const TRLHTTPURLResponse& r) override {
        add("response " + std::to_string(r.statusCode));
    }
    void didReceiveData(BBXURLSession&, BBXURLSessionTask&, std::string_view data) override {
        std::lock_guard lock(mutex);
        body += data;
    }
    void didCompleteWithError(BBXURLSession&, BBXURLSessionTask&, const std::optional<base::Error>& e) override {
        add(e ? "complete " + std::to_string(e->code) : "complete ok");
        completed.signal();
    }
    void didBecomeInvalidWithError(BBXURLSession&, const std::optional<base::Error>&) override {
        add("invalid");
        invalid.signal();
    }
};

}  // namespace

TEST(TrellisURLSession, DelegateHearsTasksWithoutHandlersInOrder) {
    LoopbackServer server;
    server.enqueue(Reply{201, {}, std::string(100000, 'b')});
    auto delegate = std::make_shared<RecordingDelegate>();
    auto config = BBXURLSessionConfiguration::defaultSessionConfiguration();
    config->HTTPAdditionalHeaders = {{"X-Extra", "config"}};
    auto session = BBXURLSession::sessionWithConfiguration(config, delegate);
    ASSERT_TRUE(session->delegateQueue());
    TRLURLRequest request;
    request.url = server.baseUrl() + "/d";
    request.headers = {{"X-Extra", "request"}};
    auto task = session->dataTaskWithRequest(request);
    ASSERT_TRUE(task);
    EXPECT_TRUE(task->invokesDelegate());
    EXPECT_EQ(session->taskCount(), 1u);
    task->resume();
    task->resume();  // a second resume does nothing
    ASSERT_TRUE(delegate->completed.wait());
    {
        std::lock_guard lock(delegate->mutex);
        EXPECT_EQ(delegate->events, (std::vector<std::string>{"response 201", "complete ok"}));
        EXPECT_EQ(delegate->body.size(), 100000u);
    }
    std::vector<std::string> extra;
    auto recorded = server.requests();
    for (auto& [name, value] : recorded.at(0).headers)
        if (name == "X-Extra") extra.push_back(value);
    EXPECT_EQ(extra, (std::vector<std::string>{"request", "config"}));
    EXPECT_EQ(task->state(), BBXURLSessionTask::State::Completed);
    for (int i = 0; i < 100 && session->taskCount() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(session->taskCount(), 0u);
    session->finishTasksAndInvalidate();
    EXPECT_TRUE(delegate->invalid.wait());
    EXPECT_EQ(session->dataTaskWithRequest(request), nullptr);  // nothing after invalidation
    EXPECT_EQ(session->delegate(), nullptr);
}

TEST(TrellisURLSession, CancelCompletesOnceAndTaskListsAreReal) {
    LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest&) { return Reply{200, {}, "late", 1000}; });
    // The transport thread may still be returning from its last post when
    // the test ends, so the queue outlives the test.
    static base::ManualExecutor main;
    main.adoptCurrentThread();
    auto session = BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration(),
                                                           nullptr, &main);
    std::atomic<int> calls{0};
    std::optional<base::Error> seen;
    TRLURLRequest request;
    request.url = server.baseUrl() + "/slow";
    // Handlers run on their task's queue: what they leave is read once `calls` says so.
    auto running = session->dataTaskWithRequest(request, [&](auto, auto, std::optional<base::Error> e) {
        seen = e;
        ++calls;
    });
    auto idle = session->downloadTaskWithURL(server.baseUrl() + "/never", [&](auto, auto, auto) { ++calls; });
    running->resume();
    ASSERT_TRUE(server.waitForRequests(1));

    std::vector<std::shared_ptr<BBXURLSessionTask>> dataTasks, downloads;
    bool listed = false;
    session->getTasksWithCompletionHandler([&](auto d, auto, auto dl) {
        dataTasks = d;
        downloads = dl;
        listed = true;
    });
    ASSERT_TRUE(main.runUntil([&] { return listed; }, std::chrono::seconds(2)));
    ASSERT_EQ(dataTasks.size(), 1u);
    EXPECT_EQ(dataTasks[0], running);
    ASSERT_EQ(downloads.size(), 1u);

    running->cancel();
    running->cancel();
    ASSERT_TRUE(main.runUntil([&] { return calls.load() == 1; }, std::chrono::seconds(2)));
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->code, kBBXURLErrorCancelled);

    // Invalidating from the delegate queue itself cancels the rest without waiting.
    main.post([&] { session->invalidateAndCancel(); });
    ASSERT_TRUE(main.runUntil([&] { return calls.load() == 2; }, std::chrono::seconds(2)));
    main.runPending();
    EXPECT_TRUE(trellistest::waitUntil([&] { return session->taskCount() == 0; }));
    EXPECT_EQ(idle->error()->code, kBBXURLErrorCancelled);
    EXPECT_EQ(session->downloadTaskWithURL(server.baseUrl()), nullptr);
}

TEST(TrellisURLSession, UploadsAFileAndTimesOutAnIdleServer) {
    LoopbackServer server;
    testsupport::TempDir dir;
    std::string payload(300000, 'u');
    ASSERT_TRUE(base::writeFileAtomically(dir.file("up"), payload));
    server.enqueue(Reply{200, {}, "stored"});
    auto session = BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration());
    EXPECT_EQ(session->delegateQueue(), nullptr);
    EXPECT_EQ(BBXURLSessionConfiguration::backgroundSessionConfiguration("x"), nullptr);
    TRLURLRequest request;
    request.url = server.baseUrl() + "/up";
    request.method = "POST";
    request.body = "replaced by the file";
    Latch done;
    std::optional<std::string> answer;
    session->uploadTaskWithRequest(request, dir.file("up"), [&](auto data, auto, auto) {
        answer = data;
        done.signal();
    })->resume();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(answer.value_or(""), "stored");
    EXPECT_EQ(server.requests().at(0).method, "POST");
    EXPECT_EQ(server.requests().at(0).body, payload);

    server.enqueue(Reply{200, {}, "too late", 1600});
    request.url = server.baseUrl() + "/idle";
    request.timeoutInterval = 1;
    Latch timedOut;
    std::optional<base::Error> error;
    session->dataTaskWithRequest(request, [&](auto, auto, auto e) {
        error = e;
        timedOut.signal();
    })->resume();
    ASSERT_TRUE(timedOut.wait());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kBBXURLErrorTimedOut);

    Latch missing;
    session->uploadTaskWithRequest(request, dir.file("none"), [&](auto, auto, auto e) {
        error = e;
        missing.signal();
    })->resume();
    ASSERT_TRUE(missing.wait());
    EXPECT_EQ(error->code, kBBXURLErrorCannotOpenFile);
}

namespace {

// Answers every challenge the same way and keeps what it was asked.
class AnsweringDelegate : public BBXURLSessionDelegate {
public:
    explicit AnsweringDelegate(BBXURLSessionAuthChallengeDisposition answer) : answer_(answer) {}
    bool answersChallenges() const override { return true; }
    void didReceiveChallenge(BBXURLSession&, const BBXURLAuthenticationChallenge& challenge,
                             BBXChallengeCompletion completion) override {
        {
            std::lock_guard lock(mutex);
            asked.push_back(challenge);
        }
        completion(answer_, std::nullopt);
    }
    std::mutex mutex;
    std::vector<BBXURLAuthenticationChallenge> asked;

private:
    BBXURLSessionAuthChallengeDisposition answer_;
};

struct Fetched {
    std::optional<std::string> data;
    std::shared_ptr<const TRLHTTPURLResponse> response;
    std::optional<base::Error> error;
};

Fetched fetchWith(BBXURLSession& session, const std::string& url) {
    auto done = std::make_shared<Latch>();
    auto out = std::make_shared<Fetched>();
    TRLURLRequest request;
    request.url = url;
    auto task = session.dataTaskWithRequest(request, [done, out](auto data, auto response, auto error) {
        *out = {std::move(data), std::move(response), std::move(error)};
        done->signal();
    });
    task->resume();
    EXPECT_TRUE(done->wait()) << url;
    return *out;
}

}  // namespace

TEST(TrellisURLSession, PasswordRepliesAreRaisedAsChallengesOfTheirMethod) {
    LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest& r) {
        if (r.path == "/basic") return Reply{401, {{"WWW-Authenticate", "Basic realm=\"booth\""}}, "denied"};
        if (r.path == "/proxy") return Reply{407, {{"Proxy-Authenticate", "Negotiate"}}, ""};
        if (r.path == "/digest") return Reply{401, {{"WWW-Authenticate", "digest realm=\"x\", nonce=\"1\""}}, ""};
        return Reply{401, {}, "no header"};
    });
    auto cancelling = std::make_shared<AnsweringDelegate>(BBXURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge);
    auto session = BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration(),
                                                           cancelling);
    auto basic = fetchWith(*session, server.baseUrl() + "/basic");
    ASSERT_TRUE(basic.error);
    EXPECT_EQ(basic.error->domain, kBBXURLErrorDomain);
    EXPECT_EQ(basic.error->code, kBBXURLErrorCancelled);
    EXPECT_FALSE(basic.response) << "a cancelled challenge delivers nothing of the reply";
    EXPECT_FALSE(basic.data);
    auto proxy = fetchWith(*session, server.baseUrl() + "/proxy");
    EXPECT_EQ(proxy.error.value_or(base::Error()).code, kBBXURLErrorCancelled);
    fetchWith(*session, server.baseUrl() + "/digest");
    {
        std::lock_guard lock(cancelling->mutex);
        ASSERT_EQ(cancelling->asked.size(), 3u);
        EXPECT_EQ(cancelling->asked[0].authenticationMethod, kBBXAuthenticationMethodHTTPBasic);
        EXPECT_EQ(cancelling->asked[0].host, "127.0.0.1");
        EXPECT_EQ(cancelling->asked[0].port, server.port());
        EXPECT_FALSE(cancelling->asked[0].proxy);
        EXPECT_FALSE(cancelling->asked[0].serverTrust);
        EXPECT_EQ(cancelling->asked[1].authenticationMethod, kBBXAuthenticationMethodNegotiate);
        EXPECT_TRUE(cancelling->asked[1].proxy);
        EXPECT_EQ(cancelling->asked[2].authenticationMethod, kBBXAuthenticationMethodHTTPDigest);
    }
    // A 401 that names no way to authenticate is an ordinary reply.
    auto plain = fetchWith(*session, server.baseUrl() + "/plain");
    EXPECT_FALSE(plain.error);
    ASSERT_TRUE(plain.response);
    EXPECT_EQ(plain.response->statusCode, 401);
    EXPECT_EQ(cancelling->asked.size(), 3u);

    // The default answer delivers the reply as the server sent it, in order.
    auto defaults = std::make_shared<AnsweringDelegate>(BBXURLSessionAuthChallengeDisposition::PerformDefaultHandling);
    auto open = BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration(),
                                                        defaults);
    auto delivered = fetchWith(*open, server.baseUrl() + "/basic");
    EXPECT_FALSE(delivered.error);
    ASSERT_TRUE(delivered.response);
    EXPECT_EQ(delivered.response->statusCode, 401);
    EXPECT_EQ(delivered.data.value_or(""), "denied");
    EXPECT_EQ(defaults->asked.size(), 1u);
}

TEST(TrellisURLSession, CompletionHandlersRunOnTheTasksQueueNotTheDelegates) {
    LoopbackServer server;
    server.setHandler([](const testsupport::RecordedRequest&) { return Reply{200, {}, "body"}; });
    base::SerialQueue delegateQueue("test.delegate-queue");
    Latch release;
    delegateQueue.post([&] { release.wait(10000); });
    auto config = BBXURLSessionConfiguration::defaultSessionConfiguration();
    config->URLCache = std::make_shared<BBXURLCache>(BBXURLCache{1 << 20, 10 << 20, "/nowhere"});
    auto session = BBXURLSession::sessionWithConfiguration(config, std::make_shared<RecordingDelegate>(),
                                                           &delegateQueue);
    // A delegate queue held up by other work does not hold up the handler.
    auto done = fetchWith(*session, server.baseUrl() + "/x");
    EXPECT_EQ(done.data.value_or(""), "body");
    release.signal();

    // The cache is kept as given and never consulted: the second request reaches the server.
    EXPECT_EQ(session->configuration()->URLCache, config->URLCache);
    EXPECT_EQ(session->configuration()->URLCache->diskPath, "/nowhere");
    EXPECT_FALSE(config->copy()->URLCache) << "a copy holds the additional headers only";
    fetchWith(*session, server.baseUrl() + "/x");
    EXPECT_EQ(server.requestCount(), 2u);
}

// An upload gets the redirect itself as its answer, sending its body once; a
// data task follows it.
TEST(TrellisURLSession, AnUploadFollowsNoRedirectAndADataTaskDoes) {
    LoopbackServer server;
    testsupport::TempDir dir;
    ASSERT_TRUE(base::writeFileAtomically(dir.file("up"), std::string(1000, 'u')));
    const std::string self = server.baseUrl() + "/loop";
    server.setHandler([self](const testsupport::RecordedRequest& r) {
        if (r.path == "/loop") return Reply{302, {{"Location", self}}, ""};
        return Reply{200, {}, "arrived"};
    });
    auto session = BBXURLSession::sessionWithConfiguration(BBXURLSessionConfiguration::defaultSessionConfiguration());
    TRLURLRequest request;
    request.url = self;
    request.method = "POST";
    Latch uploaded;
    long status = 0;
    session->uploadTaskWithRequest(request, dir.file("up"), [&](auto, auto response, auto) {
        status = response ? response->statusCode : 0;
        uploaded.signal();
    })->resume();
    ASSERT_TRUE(uploaded.wait());
    EXPECT_EQ(status, 302);
    EXPECT_EQ(server.requestCount(), 1u);

    server.setHandler([&server](const testsupport::RecordedRequest& r) {
        if (r.path == "/moved") return Reply{302, {{"Location", server.baseUrl() + "/here"}}, ""};
        return Reply{200, {}, "arrived"};
    });
    TRLURLRequest get;
    get.url = server.baseUrl() + "/moved";
    Latch fetched;
    std::optional<std::string> body;
    session->dataTaskWithRequest(get, [&](auto data, auto, auto) {
        body = data;
        fetched.signal();
    })->resume();
    ASSERT_TRUE(fetched.wait());
    EXPECT_EQ(body.value_or(""), "arrived");
}
