// The share queue against slow mail and SMS services: a share is never cut
// while it moves, and one that went out without an answer (which the service
// may have delivered) is not sent again at every run.
#include <cstdlib>
#include <mutex>

#include "ChildProcess.h"
#include "LogCapture.h"
#include "Wait.h"
#include "SharingTestSupport.h"
#include "core/Models.h"
#include "sharing/SocialSharingService.h"

namespace {

using namespace std::chrono_literals;
using testsupport::RecordedRequest;
using testsupport::Reply;

class SlowShareServiceTest : public SharingTest {
protected:
    void SetUp() override {
        SharingTest::SetUp();
        SharingRuntime::setRequestLimits(SharingRuntime::RequestLimits{1s, 1500ms});
        server.setHandler([this](const RecordedRequest& r) {
            if (r.path.ends_with("/Messages.json")) return Reply{201, {}, R"({"sid":"SM1"})", delayMs};
            const bool isMail = r.path == "/api/mail.send.json";
            if (isMail && dropMail) return Reply{200, {}, "", 0, true};
            return Reply{200, {}, "{}", isMail ? delayMs.load() : 0};
        });
        for (auto key : {"SendGridBaseURL", "TwilioBaseURL", "GlimmerlyAPIURL", "GoogleAnalyticsURL"})
            set(key, server.baseUrl());
        for (auto key : {"TWILIO_ACCOUNT_SID", "TWILIO_AUTH_TOKEN", "FROM_TWILIO_NUMBER"}) set(key, "1");
        SocialSharingService::initSocialSharingService();
        queue = SocialSharingService::shared();
        photo = QString::fromStdString(writeFile("prints/IMG_1.jpg", std::string(4 << 20, 'p')));
        MediaItemModel media;
        media.filePath = photo;
        media.uploadURL = "http://flw.io/p/Ab12";
        ASSERT_TRUE(media.save());
        mail = SocialServiceHelper::trackShareOfType(SharingTypeEmail, 0, media.ID, 0, photo, "guest@example.com");
        text = SocialServiceHelper::trackShareOfType(SharingTypeSMS, 0, media.ID, 0, photo, "+4915123456");
    }
    void TearDown() override {
        SharingRuntime::setRequestLimits(std::nullopt);
        server.stop();
        SharingTest::TearDown();
    }
    // The run that the queue's own timer starts once `wait` has passed (the
    // first run at once).
    void runAfter(std::chrono::seconds wait) {
        if (wait.count() == 0) queue->startSocialServiceExecution();
        advance(wait);
        main.runPending();
        ASSERT_TRUE(pumpUntil([&] { return !queue->isRunning(); }, 20000));
    }
    std::size_t requests(const std::string& path) {
        std::size_t n = 0;
        for (auto& r : server.requests()) n += r.path.ends_with(path);
        return n;
    }
    std::string lastError(const std::shared_ptr<SharingModel>& row) {
        return SharingModel::loadWithID(row->ID)->lastError.toStdString();
    }
    bool done(const std::shared_ptr<SharingModel>& row) { return SharingModel::loadWithID(row->ID)->done == 1; }

    testsupport::LoopbackServer server;
    std::atomic<int> delayMs{0};
    std::atomic<bool> dropMail{false};  // the mail service takes the mail and hangs up
    SocialSharingService* queue = nullptr;
    QString photo;
    std::shared_ptr<SharingModel> mail, text;
};

TEST_F(SlowShareServiceTest, SharesMovingLongerOrAnsweredLaterThanTheSilenceLimitGoOnce) {
    server.setReading(2 << 20);  // the 4 MB mail takes two seconds
    delayMs = 1200;
    runAfter(0s);
    for (int i = 0; i < 3; ++i) runAfter(20s);
    EXPECT_TRUE(done(mail)) << lastError(mail);
    EXPECT_TRUE(done(text)) << lastError(text);
    EXPECT_EQ(requests("/api/mail.send.json"), 1u);
    EXPECT_EQ(requests("/Messages.json"), 1u);
}

TEST_F(SlowShareServiceTest, TheAttemptLimitCountsFromTheLastMoveOfTheRequest) {
    server.setReading(1 << 20);
    queue->startSocialServiceExecution();
    // 15 s on the queue's clock for every 256 KB the service reads: the 4 MB
    // mail takes four minutes by that clock, and moves all the while.
    for (std::size_t read = 256 << 10; read < (4 << 20); read += 256 << 10) {
        ASSERT_TRUE(pumpUntil([&] { return server.bytesRead() >= read; }));
        advance(15s);
    }
    ASSERT_TRUE(pumpUntil([&] { return !queue->isRunning(); }));
    EXPECT_TRUE(done(mail)) << lastError(mail);
}

TEST_F(SlowShareServiceTest, AMailCutWhileItIsSentIsTooSlowAndGoesAgainAtTheNextRunAndArrivesOnce) {
    // A mail that fits in the buffers on the way; the service stops reading
    // it for longer than the silence limit, then reads on.
    writeFile("prints/IMG_1.jpg", std::string(12 * 1024, 'p'));
    server.setReading(0, 2048, 3000);
    runAfter(0s);
    EXPECT_EQ(lastError(mail), "Too slow: nothing of the request to the mail service moved in 1 s.");
    server.setReading(0);
    runAfter(20s);
    EXPECT_TRUE(done(mail)) << lastError(mail);
    ASSERT_TRUE(testsupport::waitUntil([&] { return server.openConnections() == 0; }, 15s));
    EXPECT_EQ(requests("/api/mail.send.json"), 1u) << "complete mails the service received";
}

// The production limits: the tests elsewhere take them short.
TEST_F(SlowShareServiceTest, MailAndSmsGoOutWithTheServicesOwnLimits) {
    SharingRuntime::setRequestLimits(std::nullopt);
    RequestLimitsSeen seen;
    runAfter(0s);
    EXPECT_TRUE(done(mail) && done(text));
    seen.expectServiceLimits("/api/mail.send.json", 30s);
    seen.expectServiceLimits("/Messages.json", 30s);
}

TEST(SlowRequest, ACutRequestThatMayHaveReachedTheServiceWholeIsHeldBackAsUnanswered) {
    base::HttpRequest request;
    request.sendSilence = 30s;
    base::HttpResponse response;
    response.curlCode = 42;
    response.cut = base::HttpResponse::Cut::SendSilent;
    EXPECT_FALSE(slowRequest("the mail service", request, response)->unanswered);
    response.requestSent = true;
    auto slow = slowRequest("the mail service", request, response);
    EXPECT_TRUE(slow->unanswered);
    EXPECT_TRUE(isUnansweredMessage(slow->message)) << slow->message.toStdString();
}

TEST_F(SlowShareServiceTest, AnUnansweredShareGoesAgainOnlyAfterDoublingWaits) {
    testsupport::LogCapture log;
    // The services never answer until the last run: their answers are
    // awaited only briefly until then, and as long as a busy machine needs
    // at that run.
    SharingRuntime::setRequestLimits(SharingRuntime::RequestLimits{1s, 200ms});
    dropMail = true;  // the mail service may have sent it
    delayMs = 20000;  // later than the answer is awaited
    runAfter(0s);
    EXPECT_TRUE(lastError(mail).starts_with(
        "No answer from the mail service: the connection ended after the request was sent"))
        << lastError(mail);
    EXPECT_EQ(lastError(text), "No answer from the SMS service in 0.2 s.");
    EXPECT_EQ(log.lines("tried again in 4 minutes", spdlog::level::warn).size(), 2u);
    EXPECT_TRUE(log.lines("Internet connection not available").empty());

    auto expectSent = [&](std::size_t times) {
        EXPECT_EQ(requests("/api/mail.send.json"), times);
        EXPECT_EQ(requests("/Messages.json"), times);
    };
    runAfter(20s);
    runAfter(20s);
    expectSent(1);      // not at the next runs
    runAfter(200s);     // four minutes after the attempt
    expectSent(2);
    runAfter(240s);     // the next wait is eight minutes
    expectSent(2);
    delayMs = 0;
    dropMail = false;
    SharingRuntime::setRequestLimits(SharingRuntime::RequestLimits{1s, 10s});
    runAfter(240s);
    expectSent(3);
    EXPECT_TRUE(done(mail) && done(text));
}

// A share that got no answer before the booth was started again.
TEST_F(SlowShareServiceTest, AShareLeftUnansweredByAnEarlierRunWaitsItsFirstWaitFromTheStart) {
    mail->lastError = "No answer from the mail service in 120 s.";
    ASSERT_TRUE(mail->update());
    runAfter(0s);
    runAfter(220s);
    EXPECT_EQ(requests("/api/mail.send.json"), 0u);
    runAfter(20s);
    EXPECT_EQ(requests("/api/mail.send.json"), 1u);
    EXPECT_TRUE(done(mail)) << lastError(mail);
}

// The booth stops (a quit, a crash) while a mail is out whole and its answer
// awaited: the service may have acted on it, so the next start holds it back
// as one that got no answer in time.
TEST_F(SlowShareServiceTest, AShareAwaitingItsAnswerWhenTheBoothStopsIsHeldBackAtTheNextStart) {
    using testsupport::ChildProcess;
    if (ChildProcess::childMode()) {
        // The booth before it stops, on the parent's database and services,
        // awaiting the answer far longer than the service keeps silent.
        ASSERT_TRUE(WrenDatabase::openShared(std::getenv("BOOTH_DATABASE"),
                                             std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
        for (auto key : {"SendGridBaseURL", "TwilioBaseURL", "GlimmerlyAPIURL", "GoogleAnalyticsURL"})
            set(key, std::getenv("BOOTH_SERVICES"));
        SharingRuntime::setRequestLimits(SharingRuntime::RequestLimits{1s, 600s});
        queue->startSocialServiceExecution();
        pumpUntil([] { return false; }, 60000);
        return;
    }
    delayMs = 600000;
    ChildProcess booth("stops", {{"BOOTH_DATABASE", home.path() + "/db/flashwren_db.sqlite"},
                                 {"BOOTH_SERVICES", server.baseUrl()}});
    ASSERT_TRUE(pumpUntil([&] { return requests("/api/mail.send.json") == 1; }, 20000)) << booth.output();
    // What the operator's share statistics show while the answer is awaited.
    pumpUntil([&] { return !lastError(mail).empty(); }, 5000);
    booth.kill();

    delayMs = 0;
    runAfter(0s);
    runAfter(20s);
    EXPECT_EQ(requests("/api/mail.send.json"), 1u) << "sent again at once";
    EXPECT_TRUE(done(text)) << lastError(text);
    runAfter(220s);  // four minutes after the start
    EXPECT_EQ(requests("/api/mail.send.json"), 2u);
    EXPECT_TRUE(done(mail)) << lastError(mail);
}

}  // namespace
