// The share queue against loopback mail, SMS, tracking and analytics services.
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>

#include "FaultyDisk.h"
#include "LogCapture.h"
#include "SharingTestSupport.h"
#include "Wait.h"
#include "core/Models.h"
#include "core/OperatorNotice.h"
#include "sharing/SocialSharingService.h"

namespace {

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;

class ShareQueueTest : public SharingTest {
protected:
    void SetUp() override {
        SharingTest::SetUp();
        // One server plays every service, told apart by path; the mail
        // service's replies are scripted.
        server.setHandler([this](const RecordedRequest& r) {
            std::lock_guard lock(mutex);
            if (r.path.find("/Messages.json") != std::string::npos)
                return Reply{201, {}, R"({"sid":"SM1","status":"queued"})"};
            if (r.path != "/api/mail.send.json" || mailReplies.empty()) return Reply{200, {}, "{}"};
            auto [status, reply] = mailReplies.front();
            mailReplies.erase(mailReplies.begin());
            return Reply{status, {}, reply};
        });
        for (auto key : {"SendGridBaseURL", "TwilioBaseURL", "GlimmerlyAPIURL", "GoogleAnalyticsURL"})
            set(key, server.baseUrl());
        set("TWILIO_ACCOUNT_SID", "AC1");
        set("TWILIO_AUTH_TOKEN", "token");
        set("FROM_TWILIO_NUMBER", "+15550001111");
        set("EMAIL_BODY", "Your photo");
        SocialSharingService::initSocialSharingService();
        queue = SocialSharingService::shared();
        photo = QString::fromStdString(writeFile("prints/IMG_1.jpg", "jpeg"));
    }
    // One run, to its end (the next one scheduled).
    void run() {
        queue->startSocialServiceExecution();
        ASSERT_TRUE(pumpUntil([&] { return !queue->isRunning(); }));
        EXPECT_TRUE(queue->isRunScheduled());
    }
    std::vector<RecordedRequest> requestsTo(const std::string& path) {
        std::vector<RecordedRequest> out;
        for (auto& r : server.requests())
            if (r.path.find(path) != std::string::npos) out.push_back(r);
        return out;
    }
    static std::shared_ptr<SharingModel> reload(const std::shared_ptr<SharingModel>& row) {
        return SharingModel::loadWithID(row->ID);
    }
    std::shared_ptr<SharingModel> email(const char* to) {
        return SocialServiceHelper::trackShareOfType(SharingTypeEmail, 0, 3, 0, photo, to);
    }
    // An SMS of a print whose public address is known.
    std::shared_ptr<SharingModel> smsOfAnUploadedPrint() {
        MediaItemModel media;
        media.filePath = photo;
        media.uploadURL = "http://flw.io/p/Ab12";
        if (!media.save()) return nullptr;
        return SocialServiceHelper::trackShareOfType(SharingTypeSMS, 0, media.ID, 0, photo, "+4915123456");
    }

    LoopbackServer server;
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> mailReplies;
    SocialSharingService* queue = nullptr;
    QString photo;
};

TEST_F(ShareQueueTest, FailedRowKeepsItsErrorAndIsDoneOnlyAfterSuccess) {
    mailReplies = {{200, R"({"message":"error","errors":["Bad address"]})"}};
    auto row = email("guest@example.com");
    ASSERT_TRUE(row);

    run();
    auto failed = reload(row);
    EXPECT_EQ(failed->done, 0);
    EXPECT_EQ(failed->lastError, "Bad address");
    EXPECT_TRUE(failed->dateLastTried.isValid());
    EXPECT_FALSE(failed->dateSent.isValid());

    // The next run follows 20 seconds after this one ended.
    advance(std::chrono::seconds(20));
    ASSERT_TRUE(pumpUntil([&] { return reload(row)->done == 1 && !queue->isRunning(); }));
    auto sent = reload(row);
    EXPECT_EQ(sent->lastError, "");
    EXPECT_TRUE(sent->dateSent.isValid());
    EXPECT_EQ(requestsTo("/api/mail.send.json").size(), 2u);
    ASSERT_TRUE(pumpUntil([&] { return requestsTo("/collect").size() == 1 && server.requestCount() == 4; }));
    EXPECT_EQ(RecordedRequest::field(requestsTo("/collect")[0].body, "ea"), "Email");
    auto tracked = requestsTo("");
    auto glimmerly = std::find_if(tracked.begin(), tracked.end(), [](auto& r) { return r.path == "/"; });
    ASSERT_NE(glimmerly, tracked.end());
    EXPECT_EQ(RecordedRequest::field(glimmerly->body, "message"), "Your photo");
}

TEST_F(ShareQueueTest, AMailServiceOutageKeepsTheRowPendingWithTheStatus) {
    mailReplies = {{503, "{}"}};
    auto row = email("guest@example.com");
    ASSERT_TRUE(row);
    run();
    auto failed = reload(row);
    EXPECT_EQ(failed->done, 0);
    EXPECT_EQ(failed->lastError, "The mail service answered with HTTP status 503.");
    EXPECT_FALSE(failed->dateSent.isValid());
}

TEST_F(ShareQueueTest, NothingIsSentWhileOffline) {
    setOnline(false);
    email("guest@example.com");
    run();
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ShareQueueTest, SmsWaitsForTheUploadAddressAndKeepsItsPlus) {
    MediaItemModel media;
    media.fileName = "IMG_1.jpg";
    media.filePath = photo;
    ASSERT_TRUE(media.save());
    auto row = SocialServiceHelper::trackShareOfType(SharingTypeSMS, 0, media.ID, 0, photo, "+4915123456");
    run();
    EXPECT_EQ(reload(row)->lastError, "SMSSharing - image online URL is not yet available..");
    EXPECT_EQ(server.requestCount(), 0u);

    media.uploadURL = "http://flw.io/p/Ab12";
    ASSERT_TRUE(media.update());
    run();
    auto sent = reload(row);
    EXPECT_EQ(sent->done, 1);
    EXPECT_EQ(sent->toField, "+4915123456");
    auto sms = requestsTo("/Messages.json");
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(RecordedRequest::field(sms[0].body, "Body"), "Here is your photo http://flw.io/p/Ab12");
    ASSERT_TRUE(pumpUntil([&] { return requestsTo("/collect").size() == 1 && server.requestCount() == 3; }));
    for (auto& r : server.requests()) {
        if (r.path == "/") {
            EXPECT_EQ(RecordedRequest::field(r.body, "to"), "4915123456");
        }
    }
}

TEST_F(ShareQueueTest, EachRowIsTriedOnceARunAndUnknownTypesDoNotStopIt) {
    mailReplies = {{200, R"({"errors":["no"]})"}, {200, R"({"errors":["no"]})"}, {200, R"({"errors":["no"]})"}};
    SharingModel print;  // a pending row of a type the queue does not send
    print.shareType = SharingTypePrint;
    print.filePath = photo;
    ASSERT_TRUE(print.save());
    email("a@example.com");
    auto b = email("b@example.com");
    run();
    auto mails = requestsTo("/api/mail.send.json");
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_NE(mails[0].body.find("a@example.com"), std::string::npos);
    EXPECT_NE(mails[1].body.find("b@example.com"), std::string::npos);
    auto untouched = SharingModel::loadWithID(print.ID);
    EXPECT_EQ(untouched->done, 0);
    EXPECT_EQ(untouched->lastError, "");
    EXPECT_FALSE(untouched->dateLastTried.isValid());
    EXPECT_EQ(reload(b)->lastError, "no");
}

// The queue waits past a request's own two-minute answer wait, whose
// report (naming the service) is what the row should keep; a sender that
// never reports is given up on by the queue itself.
TEST_F(ShareQueueTest, AServiceThatNeverAnswersIsGivenUpAfterItsOwnAnswerWait) {
    std::shared_ptr<ShareAttempt> stalled;
    SocialSharingService::registerSender(SharingTypeFacebookPage,
                                         [&](std::shared_ptr<ShareAttempt> attempt) { stalled = attempt; });
    auto reported = SocialServiceHelper::trackShareOfType(SharingTypeFacebookPage, 0, 3, 0, photo, "");
    auto page = SocialServiceHelper::trackShareOfType(SharingTypeFacebookPage, 0, 3, 0, photo, "");
    auto mail = email("guest@example.com");
    queue->startSocialServiceExecution();
    ASSERT_TRUE(pumpUntil([&] { return stalled != nullptr; }));
    // The request notices its silence up to a second late.
    advance(SharingRuntime::kAnswerWait + std::chrono::seconds(3));
    main.runPending();  // what the clock made due has run
    auto first = std::exchange(stalled, nullptr);
    first->sharingGotNoAnswerFor("Facebook", "No answer from Facebook in 120 s.");
    ASSERT_TRUE(pumpUntil([&] { return stalled != nullptr; }));
    EXPECT_EQ(reload(reported)->lastError.toStdString(), "No answer from Facebook in 120 s.");

    advance(SocialSharingService::kAttemptLimit);
    ASSERT_TRUE(pumpUntil([&] { return reload(mail)->done == 1; }));
    EXPECT_EQ(reload(page)->lastError, "No answer from the sharing service within two minutes.");
    // A late answer of the abandoned attempt changes nothing.
    stalled->sharingDidFinishedFor("Facebook", "posted");
    main.runPending();
    EXPECT_EQ(reload(page)->done, 0);
    SocialSharingService::registerSender(SharingTypeFacebookPage, nullptr);
}

// A run takes the pending rows as it starts; a row sent or retired by the
// time its turn comes is passed over.
TEST_F(ShareQueueTest, AShareSettledDuringARunIsNotSent) {
    std::shared_ptr<ShareAttempt> stalled;
    SocialSharingService::registerSender(SharingTypeFacebookPage,
                                         [&](std::shared_ptr<ShareAttempt> attempt) { stalled = attempt; });
    SocialServiceHelper::trackShareOfType(SharingTypeFacebookPage, 0, 3, 0, photo, "");
    auto settled = email("settled@example.com");
    auto retired = smsOfAnUploadedPrint();
    ASSERT_TRUE(retired);
    auto mail = email("guest@example.com");
    queue->startSocialServiceExecution();
    ASSERT_TRUE(pumpUntil([&] { return stalled != nullptr; }));
    // While the page share is on its way, the e-mail is marked done
    // elsewhere and the operator retires the SMS shares.
    settled->done = 1;
    ASSERT_TRUE(settled->update());
    ASSERT_TRUE(SharingStatsInfoModel::retireAllPendingItemsForSharingType(SharingTypeSMS));
    stalled->sharingDidFinishedFor("Facebook", "posted");
    ASSERT_TRUE(pumpUntil([&] { return !queue->isRunning(); }));
    auto mails = requestsTo("/api/mail.send.json");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(mails[0].body.find("guest@example.com"), std::string::npos);
    EXPECT_EQ(reload(mail)->done, 1);
    EXPECT_TRUE(requestsTo("/Messages.json").empty());
    EXPECT_FALSE(reload(retired));
    SocialSharingService::registerSender(SharingTypeFacebookPage, nullptr);
}

// The same queue when the database cannot record what it does: its disk
// full, or its file read-only. SQLite's disk is the faulty one of the test
// support, so that this holds when the tests run as root.
class ShareQueueDiskTest : public ShareQueueTest {
protected:
    void SetUp() override {
        testsupport::FaultyDisk::install();
        ShareQueueTest::SetUp();
    }
    void TearDown() override {
        disk().setFull(false);
        disk().setHonoursFileModes(false);
        ::chmod(databasePath().c_str(), 0644);
        ShareQueueTest::TearDown();
    }
    static testsupport::FaultyDisk& disk() { return testsupport::FaultyDisk::install(); }
    std::string databasePath() const { return home.path() + "/db/flashwren_db.sqlite"; }
    std::size_t mails() { return requestsTo("/api/mail.send.json").size(); }
    // Runs of the queue over 75 seconds: one every 20 seconds.
    void runsFor75Seconds() {
        for (int i = 0; i < 4; ++i) run();
    }
    QStringList notices() { return OperatorNotice::shared().texts(); }
    // A field of the row as another program reading the file sees it.
    std::optional<std::string> stored(std::int64_t id, const std::string& column) {
        sqlite3* db = nullptr;
        std::optional<std::string> value;
        if (sqlite3_open_v2(databasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            sqlite3_prepare_v2(db, ("SELECT " + column + " FROM share WHERE id = ?").c_str(), -1, &s, nullptr);
            sqlite3_bind_int64(s, 1, id);
            if (sqlite3_step(s) == SQLITE_ROW) {
                const auto* text = sqlite3_column_text(s, 0);
                value = text ? reinterpret_cast<const char*>(text) : "";
            }
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
        return value;
    }
    int storedDone(std::int64_t id) {
        auto done = stored(id, "done");
        return done ? std::stoi(*done) : -1;
    }
};

TEST_F(ShareQueueDiskTest, OnAFullDiskNothingIsSentAndAllGoesOnceThereIsRoom) {
    // The SMS first: a row whose attempt cannot be stored ends the run, and
    // the SMS would otherwise never be tried on the full disk.
    auto sms = smsOfAnUploadedPrint();
    auto mail = email("guest@example.com");
    ASSERT_TRUE(mail && sms);

    disk().setFull(true);
    testsupport::LogCapture log;
    runsFor75Seconds();
    EXPECT_EQ(mails(), 0u);
    EXPECT_TRUE(requestsTo("/Messages.json").empty());
    ASSERT_EQ(notices().size(), 1);
    EXPECT_TRUE(notices()[0].contains("full")) << notices()[0].toStdString();
    EXPECT_EQ(log.lines("cannot be written", spdlog::level::warn).size(), 1u) << "why, once, not at every run";

    disk().setFull(false);
    run();
    EXPECT_EQ(mails(), 1u);
    EXPECT_EQ(requestsTo("/Messages.json").size(), 1u);
    EXPECT_EQ(storedDone(mail->ID), 1);
    EXPECT_EQ(storedDone(sms->ID), 1);
    EXPECT_TRUE(notices().isEmpty());
    runsFor75Seconds();
    EXPECT_EQ(mails(), 1u);
}

TEST_F(ShareQueueDiskTest, ASendWhoseMarkCannotBeStoredIsNotSentAgainAndTheMarkFollows) {
    // The disk fills up while the mail's answer is on its way (the booth
    // has marked the mail as awaiting it).
    std::atomic<std::int64_t> mailID{0};
    server.setHandler([&](const RecordedRequest& r) {
        if (r.path == "/api/mail.send.json") {
            testsupport::waitUntil([&] {
                auto error = stored(mailID, "last_error");
                return error && !error->empty();
            });
            disk().setFull(true);
        }
        return Reply{200, {}, "{}"};
    });
    auto mail = email("guest@example.com");
    ASSERT_TRUE(mail);
    mailID = mail->ID;
    runsFor75Seconds();
    EXPECT_EQ(mails(), 1u);
    EXPECT_EQ(storedDone(mail->ID), 0) << "the mark could not be stored";
    EXPECT_EQ(notices().size(), 1);

    disk().setFull(false);
    run();
    EXPECT_EQ(storedDone(mail->ID), 1);
    EXPECT_TRUE(reload(mail)->dateSent.isValid());
    EXPECT_TRUE(notices().isEmpty());
    run();
    EXPECT_EQ(mails(), 1u);
}

TEST_F(ShareQueueDiskTest, AReadOnlyDatabaseSendsNothingUntilItCanBeWrittenAgain) {
    auto mail = email("guest@example.com");
    ASSERT_TRUE(mail);
    // The booth starts on a database file it may not write.
    disk().setHonoursFileModes(true);
    ASSERT_EQ(::chmod(databasePath().c_str(), 0444), 0);
    ASSERT_TRUE(WrenDatabase::openShared(databasePath(), std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
    runsFor75Seconds();
    EXPECT_EQ(mails(), 0u);
    ASSERT_EQ(notices().size(), 1);

    ASSERT_EQ(::chmod(databasePath().c_str(), 0644), 0);
    run();
    EXPECT_EQ(mails(), 1u);
    EXPECT_EQ(storedDone(mail->ID), 1);
    EXPECT_TRUE(notices().isEmpty());
    run();
    EXPECT_EQ(mails(), 1u);
}

}  // namespace
