// The share queue against mail and SMS services that are slow: a share is
// never cut while it moves, and one that went out without an answer is not
// sent again at every run, as the service may have delivered it.
#include <chrono>
#include <mutex>

#include "LogCapture.h"
#include "SharingTestSupport.h"
#include "core/Models.h"
#include "sharing/SocialSharingService.h"

namespace {

using namespace std::chrono_literals;
using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;

class SlowShareServiceTest : public SharingTest {
protected:
    void SetUp() override {
        SharingTest::SetUp();
        SharingRuntime::setRequestLimits(SharingRuntime::RequestLimits{1s, 1500ms});
        server.setHandler([this](const RecordedRequest& r) {
            std::lock_guard lock(mutex);
            if (r.path.find("/Messages.json") != std::string::npos)
                return Reply{201, {}, R"({"sid":"SM1","status":"queued"})", smsDelayMs};
            if (r.path == "/api/mail.send.json") return Reply{200, {}, "{}", mailDelayMs};
            return Reply{200, {}, "{}"};
        });
        for (auto key : {"SendGridBaseURL", "TwilioBaseURL", "GlimmerlyAPIURL", "GoogleAnalyticsURL"})
            set(key, server.baseUrl());
        set("TWILIO_ACCOUNT_SID", "AC1");
        set("TWILIO_AUTH_TOKEN", "token");
        set("FROM_TWILIO_NUMBER", "+15550001111");
        SocialSharingService::initSocialSharingService();
        queue = SocialSharingService::shared();
        photo = QString::fromStdString(writeFile("prints/IMG_1.jpg", "jpeg"));
    }
    void TearDown() override {
        SharingRuntime::setRequestLimits(std::nullopt);
        server.stop();
        SharingTest::TearDown();
    }
    void answerAfter(int mailMs, int smsMs) {
        std::lock_guard lock(mutex);
        mailDelayMs = mailMs;
        smsDelayMs = smsMs;
    }
    // The first run, then the run that the queue's own timer starts once
    // `wait` has passed.
    void run() {
        queue->startSocialServiceExecution();
        ASSERT_TRUE(pumpUntil([&] { return !queue->isRunning(); }, 20000));
    }
    void runAfter(std::chrono::seconds wait) {
        advance(wait);
        main.runPending();
        ASSERT_TRUE(pumpUntil([&] { return !queue->isRunning(); }, 20000));
        ASSERT_TRUE(queue->isRunScheduled());
    }
    std::size_t requestsTo(const std::string& path) {
        std::size_t n = 0;
        for (auto& r : server.requests()) n += r.path.find(path) != std::string::npos;
        return n;
    }
    std::size_t mails() { return requestsTo("/api/mail.send.json"); }
    std::size_t texts() { return requestsTo("/Messages.json"); }
    static std::shared_ptr<SharingModel> reload(const std::shared_ptr<SharingModel>& row) {
        return SharingModel::loadWithID(row->ID);
    }
    std::shared_ptr<SharingModel> email() {
        return SocialServiceHelper::trackShareOfType(SharingTypeEmail, 0, 3, 0, photo, "guest@example.com");
    }
    std::shared_ptr<SharingModel> sms() {
        MediaItemModel media;
        media.fileName = "IMG_1.jpg";
        media.filePath = photo;
        media.uploadURL = "http://flw.io/p/Ab12";
        if (!media.save()) return nullptr;
        return SocialServiceHelper::trackShareOfType(SharingTypeSMS, 0, media.ID, 0, photo, "+4915123456");
    }

    LoopbackServer server;
    std::mutex mutex;
    int mailDelayMs = 0;
    int smsDelayMs = 0;
    SocialSharingService* queue = nullptr;
    QString photo;
};

TEST_F(SlowShareServiceTest, ServicesAnsweringAfterTheSilenceLimitGetEachShareOnce) {
    answerAfter(1200, 1200);
    auto mail = email();
    auto text = sms();
    ASSERT_TRUE(mail && text);
    run();
    for (int i = 0; i < 3; ++i) runAfter(20s);
    EXPECT_EQ(reload(mail)->done, 1) << reload(mail)->lastError.toStdString();
    EXPECT_EQ(reload(text)->done, 1) << reload(text)->lastError.toStdString();
    EXPECT_EQ(mails(), 1u);
    EXPECT_EQ(texts(), 1u);
}

TEST_F(SlowShareServiceTest, AnUnansweredShareGoesAgainOnlyAfterDoublingWaits) {
    testsupport::LogCapture log;
    answerAfter(20000, 20000);  // later than the answer is awaited
    auto mail = email();
    auto text = sms();
    ASSERT_TRUE(mail && text);
    run();
    ASSERT_EQ(mails(), 1u);
    ASSERT_EQ(texts(), 1u);
    EXPECT_EQ(reload(mail)->lastError.toStdString(), "No answer from the mail service in 1.5 s.");
    EXPECT_EQ(reload(text)->lastError.toStdString(), "No answer from the SMS service in 1.5 s.");
    EXPECT_EQ(reload(mail)->done, 0);
    EXPECT_FALSE(log.lines("No answer from the mail service", spdlog::level::err).empty());
    EXPECT_EQ(log.lines("tried again in 4 minutes", spdlog::level::warn).size(), 2u);
    EXPECT_TRUE(log.lines("Internet connection not available").empty());

    runAfter(20s);
    runAfter(20s);
    EXPECT_EQ(mails(), 1u) << "not at the next runs";
    EXPECT_EQ(texts(), 1u);
    runAfter(200s);  // four minutes after the attempt
    EXPECT_EQ(mails(), 2u);
    EXPECT_EQ(texts(), 2u);

    runAfter(240s);  // the next wait is eight minutes
    EXPECT_EQ(mails(), 2u);
    EXPECT_EQ(texts(), 2u);
    answerAfter(0, 0);
    runAfter(240s);
    EXPECT_EQ(mails(), 3u);
    EXPECT_EQ(texts(), 3u);
    EXPECT_EQ(reload(mail)->done, 1);
    EXPECT_EQ(reload(text)->done, 1);
}

TEST_F(SlowShareServiceTest, AMailCutWhileItIsSentIsTooSlowAndGoesAgainAtTheNextRun) {
    photo = QString::fromStdString(writeFile("prints/IMG_2.jpg", std::string(4 << 20, 'p')));
    server.setReading(0, 32 * 1024);  // the service stops reading the mail
    auto mail = email();
    ASSERT_TRUE(mail);
    run();
    EXPECT_EQ(reload(mail)->lastError.toStdString(), "Too slow: nothing of the request to the mail service moved in 1 s.");
    server.setReading(0);
    runAfter(20s);
    EXPECT_EQ(reload(mail)->done, 1) << reload(mail)->lastError.toStdString();
    EXPECT_EQ(mails(), 1u);
}

}  // namespace
