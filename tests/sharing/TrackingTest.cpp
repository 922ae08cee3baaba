// Share tracking and usage tracking against loopback servers.
#include <QCryptographicHash>
#include <nlohmann/json.hpp>
#include <QDir>
#include <QUuid>
#include <QFile>

#include <filesystem>
#include <set>
#include <thread>

#include "SharingTestSupport.h"
#include "base/Executor.h"
#include "base/Files.h"
#include "base/Plist.h"
#include "core/Models.h"
#include "core/WrenUtils.h"
#include "sharing/Analytics.h"
#include "sharing/GlimmerlyApi.h"

namespace {

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;

const std::string kSecret = "0123456789abcdef0123456789abcdef";

// The service's own check over the decoded fields: every field but "secret"
// and "action", sorted, each key followed by its value, then the secret.
std::string serverSignature(const std::string& body) {
    std::map<std::string, std::string> fields;
    for (const auto& name : {"album", "message", "to", "from", "type", "hash"})
        if (auto v = RecordedRequest::field(body, name)) fields[name] = *v;
    std::string text;
    for (const auto& [k, v] : fields) text += k + v;
    return QCryptographicHash::hash(QByteArray::fromStdString(text + kSecret), QCryptographicHash::Md5)
        .toHex()
        .toStdString();
}

class GlimmerlyApiTest : public SharingTest {
protected:
    void SetUp() override {
        SharingTest::SetUp();
        set("GlimmerlyAPIURL", server.baseUrl());
        set("FlashwrenAdminURL", server.baseUrl());
        set("GlimmerlySharedSecret", kSecret);
    }
    LoopbackServer server;
};

TEST_F(GlimmerlyApiTest, TrackedShareIsSignedOverTheRawValues) {
    set("ALBUM_NAME", "Smith & Jones = 100% ❤");
    auto media = std::make_shared<MediaItemModel>();
    media->fileName = "IMG_0042.jpg";
    media->uploadURL = "http://flw.io/p/Ab12Cd";
    MediaItemHelper::addNewlyCreatedMediaItemToCache(media);
    SharingModel share;
    share.shareType = SharingTypeEmail;
    share.toField = "guest+1@example.com";
    share.filePath = "/prints/IMG_0042.jpg";
    GlimmerlyApi().uploadTrackingDetailsOnGlimmerlyWSFor(share, "Here & there", "booth@example.com").wait();

    ASSERT_EQ(server.requestCount(), 1u);
    const auto r = server.requests()[0];
    EXPECT_EQ(r.path, "/");
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.body.find('+'), std::string::npos) << "a \"+\" would decode as a space";
    const std::map<std::string, std::string> expected{
        {"album", "Smith & Jones = 100% ❤"}, {"message", "Here & there"}, {"to", "guest+1@example.com"},
        {"from", "booth@example.com"},     {"type", "email"},           {"hash", "Ab12Cd"},
        {"action", "trackshare"},          {"secret", serverSignature(r.body)}};
    for (const auto& [k, v] : expected) EXPECT_EQ(RecordedRequest::field(r.body, k), v) << k;
    EXPECT_EQ(r.body.find(kSecret), std::string::npos);
}

TEST_F(GlimmerlyApiTest, TypesWithoutACodeSendNoTypeAndAnEmptyHash) {
    server.enqueue(Reply{200, {}, "<html>not json</html>"});
    for (int type : {int(SharingTypeFacebookPage), int(SharingTypePrint)}) {
        SharingModel share;
        share.shareType = type;
        share.filePath = "/prints/unknown.jpg";
        GlimmerlyApi().uploadTrackingDetailsOnGlimmerlyWSFor(share, "m", "").wait();
    }
    ASSERT_EQ(server.requestCount(), 2u);
    for (const auto& r : server.requests()) {
        EXPECT_FALSE(RecordedRequest::field(r.body, "type"));
        EXPECT_EQ(RecordedRequest::field(r.body, "hash"), "");
        EXPECT_EQ(RecordedRequest::field(r.body, "secret"), serverSignature(r.body));
    }
    GlimmerlyApi().updatePrevNextOfUserAtFlashwrenServer(1).wait();
    EXPECT_EQ(server.requests()[2].path, "/account/settings");
    EXPECT_EQ(server.requests()[2].body, "PrevNext=1");
}

class AnalyticsTest : public SharingTest {
protected:
    void SetUp() override {
        SharingTest::SetUp();
        set("GoogleAnalyticsURL", server.baseUrl());
        set("GoogleTrackingID", "UA-12345678-01");
        GoogleTracker::sharedGoogleTracker().setScreenSize(1280, 1024);
    }
    QString queue() { return WrenUtils::getAnalyticsQueueFolderPath(); }
    QStringList queued() { return QDir(queue()).entryList({"*.plist"}, QDir::Files, QDir::Name); }
    LoopbackServer server;
};

TEST_F(AnalyticsTest, OnlineHitsCarryTheBaseFieldsAndRefusedOnesAreDropped) {
    GoogleTracker::sharedGoogleTracker().trackeEventWithCategory("share", "Email").wait();
    ASSERT_EQ(server.requestCount(), 1u);
    const auto r = server.requests()[0];
    EXPECT_EQ(r.path, "/collect");
    const std::map<std::string, std::string> expected{
        {"v", "1"},        {"tid", "UA-12345678-01"}, {"t", "event"},     {"ec", "share"},
        {"ea", "Email"},   {"sr", "1280x1024"},       {"an", "com.flashwren.mac"},
        {"aid", "flashwren_mac"}, {"av", "1.0.0 (100)"},
        {"cid", GoogleTracker::sharedGoogleTracker().googleClientID().toStdString()}};
    for (const auto& [k, v] : expected) EXPECT_EQ(RecordedRequest::field(r.body, k), v) << k;
    // The installation's identifier as the tracker found it when it was
    // made, in whichever test of this program that was.
    EXPECT_FALSE(QUuid::fromString(GoogleTracker::sharedGoogleTracker().googleClientID()).isNull());
    EXPECT_FALSE(RecordedRequest::field(r.body, "el") || RecordedRequest::field(r.body, "ev"));
    EXPECT_EQ(r.header("User-Agent"), RecordedRequest::field(r.body, "ua"));
    EXPECT_EQ(GoogleTracker::userAgent("2.1", "PRETTY_NAME=\"x\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n",
                                       "x86_64"),
              "flashwren/2.1 (X11; Linux x86_64; Debian GNU/Linux 12)");

    server.enqueue(Reply{400, {}, ""});
    GoogleTracker::sharedGoogleTracker().trackScreen("Green Screen").wait();
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_TRUE(queued().isEmpty());
}

TEST_F(AnalyticsTest, OfflineHitWaitsUntilTheEndpointAcceptsIt) {
    setOnline(false);
    GoogleTracker::sharedGoogleTracker().trackScreen("Session/Photo/Auto").wait();
    EXPECT_EQ(server.requestCount(), 0u);
    ASSERT_EQ(queued().size(), 1);
    auto stored = base::plistReadFile((queue() + "/" + queued()[0]).toStdString());
    ASSERT_TRUE(stored && stored->is_object());
    EXPECT_EQ((*stored)["cd"], "Session/Photo/Auto");

    Analytics& analytics = Analytics::sharedAnalytics();
    EXPECT_FALSE(analytics.startUploadingOldAnalyticsData()) << "still offline";
    setOnline(true);
    server.enqueue(Reply{503, {}, ""});
    EXPECT_TRUE(analytics.startUploadingOldAnalyticsData());
    EXPECT_EQ(queued().size(), 1) << "kept for the next pass";
    EXPECT_TRUE(analytics.startUploadingOldAnalyticsData());
    EXPECT_TRUE(queued().isEmpty());
    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(RecordedRequest::field(server.requests()[1].body, "cd"), "Session/Photo/Auto");
}

TEST_F(AnalyticsTest, PassesDropUnreadableHitsTouchOnlyPlistsAndSurviveListingFailures) {
    QDir().mkpath(queue());
    base::writeFileAtomically((queue() + "/1.plist").toStdString(), "not a property list");
    base::writeFileAtomically((queue() + "/notes.txt").toStdString(), "keep me");
    EXPECT_TRUE(Analytics::sharedAnalytics().startUploadingOldAnalyticsData());
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(queued().isEmpty());
    EXPECT_TRUE(QFile::exists(queue() + "/notes.txt"));

    // A file where the folder should be cannot be listed; the timer goes on.
    std::filesystem::remove_all(queue().toStdString());
    base::writeFileAtomically(queue().toStdString(), "");
    EXPECT_FALSE(Analytics::sharedAnalytics().startUploadingOldAnalyticsData());
    EXPECT_TRUE(Analytics::sharedAnalytics().isTimerPending());
}

TEST_F(AnalyticsTest, HitsOfTheSameMillisecondAreAllKept) {
    std::set<QString> paths;
    for (int i = 0; i < 20; ++i) paths.insert(GoogleTracker::storeHit(queue(), {{"v", "1"}, {"t", "screenview"}}));
    EXPECT_EQ(paths.size(), 20u);
    EXPECT_FALSE(paths.count(QString()));
    EXPECT_EQ(queued().size(), 20);
}

TEST_F(AnalyticsTest, TimerRunsAPassEveryMinute) {
    setOnline(false);
    GoogleTracker::sharedGoogleTracker().trackScreen("Green Screen").wait();
    Analytics& analytics = Analytics::sharedAnalytics();
    analytics.startTimer();  // on this test's clock, when an earlier test made the instance
    setOnline(true);
    advance(std::chrono::seconds(59));
    main.runPending();  // what the clock made due has run
    EXPECT_EQ(server.requestCount(), 0u);
    advance(std::chrono::seconds(1));
    ASSERT_TRUE(pumpUntil([&] { return queued().isEmpty() && analytics.isTimerPending(); }));
    EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace

namespace {

// A hit still waiting for a busy background thread is stored before the
// wait at quit returns, so the program does not end under it.
TEST_F(AnalyticsTest, QuitWaitsForHitsStillOnTheirWay) {
    setOnline(false);
    base::SerialQueue busy("busy-background");
    SharingRuntime::setBackgroundExecutor(&busy);
    busy.post([] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
    auto hit = GoogleTracker::sharedGoogleTracker().trackScreen("Home");
    auto& tracker = GoogleTracker::sharedGoogleTracker();
    EXPECT_FALSE(tracker.waitForPendingHits(std::chrono::milliseconds(10)));
    EXPECT_TRUE(tracker.waitForPendingHits(std::chrono::seconds(10)));
    EXPECT_EQ(queued().size(), 1);
    SharingRuntime::setBackgroundExecutor(nullptr);
    hit.wait();
}

}  // namespace
