// Print upload to a real S3-compatible server, registration at a loopback
// web service, and the retry service.
#include <QDir>
#include <nlohmann/json.hpp>
#include <QFile>

#include <optional>

#include <sqlite3.h>

#include <QBuffer>
#include <QImage>

#include "ChildProcess.h"
#include "FaultyDisk.h"
#include "LogCapture.h"
#include "Wait.h"
#include "SharingTestSupport.h"
#include "base/Crypto.h"
#include "base/Http.h"
#include "core/Models.h"
#include "sharing/RetryUploadToS3Service.h"
#include "sharing/WrenS3Manager.h"

namespace {

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;

const std::string kBucket = "images.booth.test";

// An independent Signature Version 4 check of a recorded request.
const char* kVerifySigV4 = R"(
import sys, json, hmac, hashlib, base64
r = json.load(sys.stdin)
body = base64.b64decode(r['body'])
h = {k.lower(): v.strip() for k, v in r['headers']}
auth = h['authorization']
cred = auth.split('Credential=')[1].split(',')[0]
signed = auth.split('SignedHeaders=')[1].split(',')[0].split(';')
akid, day, region, service, _ = cred.split('/')
canonical = '\n'.join([r['method'], r['path'], '', ''.join(n + ':' + h[n] + '\n' for n in signed), ';'.join(signed),
                       hashlib.sha256(body).hexdigest()])
to_sign = '\n'.join(['AWS4-HMAC-SHA256', h['x-amz-date'], '/'.join([day, region, service, 'aws4_request']),
                     hashlib.sha256(canonical.encode()).hexdigest()])
key = ('AWS4' + r['secret']).encode()
for part in (day, region, service, 'aws4_request'):
    key = hmac.new(key, part.encode(), hashlib.sha256).digest()
sig = hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()
ok = auth.endswith('Signature=' + sig) and h['x-amz-content-sha256'] == hashlib.sha256(body).hexdigest()
print('valid' if ok else 'invalid ' + canonical)
)";

struct Stages : WrenS3ManagerDelegate {
    std::vector<std::string> calls;
    void didUploadedImageToS3(std::shared_ptr<MediaItemModel>) override { calls.push_back("image"); }
    void didUploadedThumbToS3(std::shared_ptr<MediaItemModel>) override { calls.push_back("thumb"); }
    void didUploadedToWrenTrackAPI(std::shared_ptr<MediaItemModel>) override { calls.push_back("registered"); }
    void didFailedToUploadModel(std::shared_ptr<MediaItemModel>, int stage) override {
        calls.push_back("failed " + std::to_string(stage));
    }
};

class UploadTest : public SharingTest {
protected:
    void SetUp() override {
        SharingTest::SetUp();
        registration.setHandler([this](const RecordedRequest&) {
            return Reply{200, {{"Content-Type", "text/html; charset=UTF-8"}},
                         R"({"url":"http://flw.io/p/Ab)" + std::to_string(++registered) + R"("})"};
        });
        set("S3EndpointURL", s3.baseUrl());
        set("S3Bucket", kBucket);
        set("S3PublicURL", "http://" + kBucket);
        set("S3AccessKeyID", "S3RVER");
        set("S3SecretAccessKey", "S3RVER");
        set("S3Region", "us-east-1");
        set("FlashwrenWebServiceURL", registration.baseUrl());
        set("unique_random_user_id", "123456");
        print = awkwardBytes();
    }
    // A print and its thumbnail on disk, with its media row.
    std::shared_ptr<MediaItemModel> item(const std::string& name, int status = 0, bool thumb = true) {
        auto m = std::make_shared<MediaItemModel>();
        m->filePath = QString::fromStdString(writeFile("prints/" + name, print));
        if (thumb) writeFile("prints/thumb/" + name, "thumb of " + name);
        m->fileName = QString::fromStdString(name);
        m->albumName = "Smith & Jones";
        m->uploadStatus = status;
        EXPECT_TRUE(m->save());
        return m;
    }
    void upload(const std::shared_ptr<MediaItemModel>& m, std::size_t callbacks) {
        stages.calls.clear();
        auto manager = WrenS3Manager::create();
        manager->setDelegate(&stages);
        manager->startUplodingMediaToAWS(m);
        ASSERT_TRUE(pumpUntil([&] { return stages.calls.size() >= callbacks; }, 10000));
        main.runPending();
    }
    // Points the uploads at a recording server instead of the real one.
    void useFakeS3(LoopbackServer& fake) { set("S3EndpointURL", fake.baseUrl()); }

    S3Server s3{kBucket};
    LoopbackServer registration;
    std::atomic<int> registered{0};
    Stages stages;
    std::string print;
};

TEST_F(UploadTest, PrintAndThumbnailAreStoredAndRegistered) {
    ASSERT_TRUE(s3.running()) << "the S3-compatible test server did not start";
    auto m = item("IMG 0042+1.jpg");
    std::optional<testsupport::LogCapture> log(std::in_place);
    RequestLimitsSeen seen;
    upload(m, 3);
    seen.expectServiceLimits(kBucket, std::chrono::seconds(30));
    seen.expectServiceLimits("/users/post.php", std::chrono::seconds(30));
    const auto lines = log->lines();
    log.reset();
    EXPECT_EQ(stages.calls, (std::vector<std::string>{"image", "thumb", "registered"}));
    // A good upload is news, not an error: the operator's log shows errors only for faults.
    int addresses = 0;
    for (auto& line : lines) {
        EXPECT_LT(line.level, spdlog::level::warn) << line.text;
        if (line.text.rfind("S3 Image URL is: ", 0) == 0) ++addresses;
    }
    EXPECT_EQ(addresses, 1);
    EXPECT_EQ(m->imageURL, "http://images.booth.test/anon.123456/IMG%200042%2B1.jpg");
    EXPECT_EQ(m->thumbURL, "http://images.booth.test/anon.123456/IMG%200042%2B1_Thumb.jpg");
    EXPECT_EQ(m->uploadURL, "http://flw.io/p/Ab1");

    for (auto [key, bytes] : {std::pair{"IMG%200042%2B1.jpg", print},
                              {"IMG%200042%2B1_Thumb.jpg", std::string("thumb of IMG 0042+1.jpg")}}) {
        base::HttpRequest get;
        get.url = s3.baseUrl() + "/" + kBucket + "/anon.123456/" + key;
        auto stored = base::httpPerform(get);
        EXPECT_TRUE(stored.status == 200 && stored.body == bytes) << key;
        EXPECT_EQ(stored.header("Content-Type"), "image/jpeg");
    }
    ASSERT_EQ(registration.requestCount(), 1u);
    const auto r = registration.requests()[0];
    EXPECT_EQ(r.path, "/users/post.php");
    EXPECT_EQ(r.body, base::formEncode({{"url", m->imageURL.toStdString()}, {"thumb_url", m->thumbURL.toStdString()},
                                        {"album", "Smith & Jones"}, {"v", "2"}}));
}

TEST_F(UploadTest, RequestsCarryTheHeadersAndAnIndependentlyValidSignature) {
    LoopbackServer fake;
    useFakeS3(fake);
    set("S3SecretAccessKey", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY");
    upload(item("IMG 7+.jpg"), 3);
    ASSERT_EQ(fake.requestCount(), 2u);
    EXPECT_EQ(fake.requests()[1].path, "/images.booth.test/anon.123456/IMG%207%2B_Thumb.jpg");
    for (const auto& r : fake.requests()) {
        EXPECT_EQ(r.method, "PUT");
        EXPECT_EQ(r.header("Content-Type"), "image/jpeg");
        EXPECT_EQ(r.header("x-amz-storage-class"), "REDUCED_REDUNDANCY");
        EXPECT_EQ(r.header("x-amz-acl"), "public-read");
        nlohmann::json request{{"method", r.method}, {"path", r.path}, {"headers", r.headers},
                               {"body", base::base64Encode(r.body)},
                               {"secret", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY"}};
        EXPECT_EQ(runPython(kVerifySigV4, request.dump()), "valid\n") << r.path;
    }
}

TEST_F(UploadTest, EachStageFailsOnceAndStopsTheRun) {
    LoopbackServer fake;
    useFakeS3(fake);
    fake.enqueue(Reply{403, {}, "<Error><Code>AccessDenied</Code></Error>"});
    upload(item("a.jpg"), 1);
    EXPECT_EQ(stages.calls, (std::vector<std::string>{"failed 2"}));
    EXPECT_EQ(fake.requestCount(), 1u);

    fake.enqueue(Reply{200, {}, ""});
    fake.enqueue(Reply{503, {}, ""});
    upload(item("b.jpg"), 2);
    EXPECT_EQ(stages.calls, (std::vector<std::string>{"image", "failed 3"}));
    EXPECT_EQ(registration.requestCount(), 0u);

    for (auto reply : {Reply{200, {{"Content-Type", "application/json"}}, R"({"url":"http://flw.io/p/x"})"},
                       Reply{200, {{"Content-Type", "text/html"}}, R"({"status":"ok"})"},
                       Reply{500, {{"Content-Type", "text/html"}}, R"({"url":"http://flw.io/p/x"})"}}) {
        registration.enqueue(reply);
        auto m = item("c.jpg");
        upload(m, 3);
        EXPECT_EQ(stages.calls, (std::vector<std::string>{"image", "thumb", "failed 4"})) << reply.body;
        EXPECT_TRUE(m->uploadURL.isEmpty());
    }

    // A registration without the print's address is never sent.
    stages.calls.clear();
    auto bare = item("d.jpg");
    const auto before = registration.requestCount();
    WrenS3Manager::create()->didUploadedMediaToS3(bare);
    main.runPending();
    EXPECT_TRUE(stages.calls.empty());
    EXPECT_EQ(registration.requestCount(), before);
}

// On a slow line shared with other uploads, the store's acknowledgements can
// stand still for many seconds while the upload still goes.
TEST_F(UploadTest, AStoreThatStandsStillForTwelveSecondsIsWaitedForWithTheBoothsOwnLimits) {
    LoopbackServer fake;
    useFakeS3(fake);
    fake.setReading(0, 256 * 1024, 12000);
    print = std::string(1 << 20, 'p');
    auto m = item("slow.jpg");
    auto manager = WrenS3Manager::create();
    manager->setDelegate(&stages);
    manager->startUplodingMediaToAWS(m);
    auto ended = [&] { return stages.calls.size() >= 3 || (!stages.calls.empty() && stages.calls.back()[0] == 'f'); };
    ASSERT_TRUE(pumpUntil(ended, 40000));
    EXPECT_EQ(stages.calls, (std::vector<std::string>{"image", "thumb", "registered"}));
    ASSERT_EQ(fake.requestCount(), 2u);
    EXPECT_EQ(fake.requests()[0].body.size(), print.size());
}

TEST_F(UploadTest, FirstUploadRestartsAtMostTwiceThenLeavesTheRowToTheRetryService) {
    LoopbackServer fake;
    useFakeS3(fake);
    fake.setHandler([](const RecordedRequest&) { return Reply{500, {}, ""}; });
    WrenS3Manager::installAsUploadStarter();
    auto m = item("e.jpg");
    MediaItemHelper::startUpload(m);
    ASSERT_TRUE(pumpUntil([&] { return MediaItemModel::loadMediaItemWithID(m->ID)->uploadStatus == 2; }));
    main.runPending();
    EXPECT_EQ(fake.requestCount(), 3u);
    EXPECT_EQ(MediaItemModel::loadMediaItemWithID(m->ID)->retryCount, 0);
}

// The retry service ----------------------------------------------------------------

class RetryUploadTest : public UploadTest {
protected:
    void SetUp() override {
        testsupport::FaultyDisk::install();
        UploadTest::SetUp();
        // A copy standing for an earlier run of the booth uploads on its own.
        if (testsupport::ChildProcess::childMode()) return;
        RetryUploadToS3Service::initS3RetryService();
        service = RetryUploadToS3Service::shared();
    }
    void TearDown() override {
        testsupport::FaultyDisk::install().setFull(false);
        UploadTest::TearDown();
    }
    void run() {
        service->startRetryToS3();
        ASSERT_TRUE(pumpUntil([&] { return !service->isRunning(); }, 15000));
        EXPECT_TRUE(service->isRunScheduled());
    }
    std::shared_ptr<MediaItemModel> reload(const std::shared_ptr<MediaItemModel>& m) {
        return MediaItemModel::loadMediaItemWithID(m->ID);
    }
    // Upload status and retry count as stored.
    std::pair<int, int> state(const std::shared_ptr<MediaItemModel>& m) {
        auto row = reload(m);
        return {row->uploadStatus, row->retryCount};
    }
    // The row as another program reading the file sees it: status and short address.
    std::pair<int, std::string> stored(const std::shared_ptr<MediaItemModel>& m) {
        MediaItemModel::finishStoringProgress();
        sqlite3* db = nullptr;
        std::pair<int, std::string> out{-1, ""};
        const std::string path = home.path() + "/db/flashwren_db.sqlite";
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            sqlite3_prepare_v2(db, "SELECT upload_status, upload_url FROM media WHERE id = ?", -1, &s, nullptr);
            sqlite3_bind_int64(s, 1, m->ID);
            if (sqlite3_step(s) == SQLITE_ROW) {
                const auto* url = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
                out = {sqlite3_column_int(s, 0), url ? url : ""};
            }
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
        return out;
    }
    RetryUploadToS3Service* service = nullptr;
};

TEST_F(RetryUploadTest, RowsResumeAtTheirStageAndFinishWhenTheServersComeBack) {
    ASSERT_TRUE(s3.running());
    auto full = item("full.jpg", 2);
    auto thumb = item("thumb.jpg", 3);
    thumb->imageURL = "http://images.booth.test/anon.123456/thumb.jpg";
    auto reg = item("reg.jpg", 4);
    reg->imageURL = "http://images.booth.test/anon.123456/reg.jpg";
    reg->thumbURL = "http://images.booth.test/anon.123456/reg_Thumb.jpg";
    auto later = item("later.jpg", 2, false);  // no thumbnail, and none can be made of it
    for (auto& m : {thumb, reg}) ASSERT_TRUE(m->update());
    const auto rows = MediaItemModel().rowCount();

    s3.stop();
    registration.setHandler([](const RecordedRequest&) { return Reply{503, {}, ""}; });
    run();
    EXPECT_EQ(state(full), std::pair(2, 1));
    EXPECT_EQ(state(thumb), std::pair(3, 1));
    EXPECT_EQ(state(reg), std::pair(4, 1));
    EXPECT_EQ(registration.requestCount(), 1u) << "only the registration-only row got that far";

    S3Server back{kBucket};
    ASSERT_TRUE(back.running());
    set("S3EndpointURL", back.baseUrl());
    registration.setHandler([](const RecordedRequest& r) {
        auto url = RecordedRequest::field(r.body, "url").value_or("");
        return Reply{200, {{"Content-Type", "text/html"}}, R"({"url":"http://flw.io/p/)" + url.substr(url.rfind('/') + 1) + R"("})"};
    });
    // The next run comes a minute after the last one ended.
    advance(std::chrono::seconds(60));
    ASSERT_TRUE(pumpUntil([&] { return reload(reg)->uploadStatus == 1 && !service->isRunning(); }, 15000));
    ASSERT_TRUE(pumpUntil([&] { return reload(later)->uploadStatus == 1 && !service->isRunning(); }, 15000));
    for (auto& m : {full, thumb, reg, later}) {
        EXPECT_EQ(state(m), std::pair(1, 0)) << m->fileName.toStdString();
        EXPECT_EQ(reload(m)->uploadURL, "http://flw.io/p/" + m->fileName);
        EXPECT_EQ(MediaItemHelper::getMediaItemForFileName(m->fileName)->uploadURL, reload(m)->uploadURL);
    }
    EXPECT_TRUE(reload(later)->thumbURL.isEmpty()) << "registered without a thumbnail";
    EXPECT_EQ(MediaItemModel().rowCount(), rows);
}

TEST_F(RetryUploadTest, MissingFilesLoseTheirRowOnlyWhenTheirFolderIsThere) {
    auto gone = item("gone.jpg", 2);
    QFile::remove(gone->filePath);
    auto unmounted = item("away.jpg", 2);
    unmounted->filePath = QString::fromStdString(home.path() + "/unmounted/prints/away.jpg");
    ASSERT_TRUE(unmounted->update());
    LoopbackServer fake;
    useFakeS3(fake);
    run();
    EXPECT_EQ(reload(gone), nullptr);
    EXPECT_NE(reload(unmounted), nullptr);
    EXPECT_EQ(fake.requestCount(), 0u);
}

TEST_F(RetryUploadTest, LaterStagesWithoutThePrintAddressStartOverAndInterruptedRowsAreMarked) {
    LoopbackServer fake;
    useFakeS3(fake);
    auto orphan = item("orphan.jpg", 4);  // status 4 but no image address
    run();
    ASSERT_FALSE(fake.requests().empty());
    EXPECT_EQ(fake.requests()[0].path, "/images.booth.test/anon.123456/orphan.jpg");
    EXPECT_EQ(reload(orphan)->uploadStatus, 1);

    auto none = item("n.jpg", 0);
    auto image = item("i.jpg", 0);
    image->imageURL = "http://x/i.jpg";
    auto both = item("b.jpg", 0);
    both->imageURL = "http://x/b.jpg";
    both->thumbURL = "http://x/b_Thumb.jpg";
    for (auto& m : {image, both}) ASSERT_TRUE(m->update());
    // Those were an earlier run's; this run's own rows, their upload not
    // started yet (a row stored late) or just finished, are not.
    ASSERT_TRUE(WrenDatabase::openShared(home.path() + "/db/flashwren_db.sqlite",
                                         std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
    auto own = item("own.jpg", 0);
    EXPECT_EQ(RetryUploadToS3Service::markInterruptedUploadsFailed(), 3);
    EXPECT_EQ(reload(none)->uploadStatus, 2);
    EXPECT_EQ(reload(image)->uploadStatus, 3);
    EXPECT_EQ(reload(both)->uploadStatus, 4);
    EXPECT_EQ(reload(own)->uploadStatus, 0);
}

TEST_F(RetryUploadTest, OfflineRunsLoadNothingAndSchedulingKeepsOneRunPending) {
    setOnline(false);
    item("x.jpg", 2);
    LoopbackServer fake;
    useFakeS3(fake);
    run();
    EXPECT_EQ(fake.requestCount(), 0u);
    const auto pending = scheduler.pendingCount();
    for (int i = 0; i < 2; ++i) service->scheduleRetryServiceForNextExecution();
    EXPECT_EQ(scheduler.pendingCount(), pending);
}

// A print whose thumbnail is missing (the booth stopped between the two
// files) gets one made, or is registered without one where none can be
// made; either way it is uploaded and registered once.
TEST_F(UploadTest, APrintWithoutItsThumbnailGetsOneMadeOrIsRegisteredWithoutItOnce) {
    LoopbackServer fake;
    useFakeS3(fake);
    WrenS3Manager::installAsUploadStarter();
    QImage image(1200, 800, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "JPG"));
    for (auto [name, bytes, puts] : {std::tuple{"made.jpg", jpeg.toStdString(), 2u},
                                     std::tuple{"bare.jpg", std::string("not a picture"), 1u}}) {
        print = bytes;
        auto m = item(name, 0, false);
        const auto before = fake.requestCount();
        MediaItemHelper::startUpload(m);
        ASSERT_TRUE(pumpUntil([&] { return MediaItemModel::loadMediaItemWithID(m->ID)->uploadStatus == 1; })) << name;
        EXPECT_EQ(fake.requestCount() - before, puts) << name;
        EXPECT_EQ(QImage(WrenS3Manager::thumbnailPathFor(*m)).width(), puts == 2 ? 400 : 0) << name;
        const auto thumbURL = RecordedRequest::field(registration.requests().back().body, "thumb_url");
        EXPECT_EQ(thumbURL.value_or("").empty(), puts == 1) << name;
    }
    EXPECT_EQ(registration.requestCount(), 2u);
}

// An upload stage that the database cannot record does not go out: a
// restart would know nothing of it and make it again, with a second public
// address. A registration cut off by a restart may have been made: it waits
// as one that got no answer does.
TEST_F(RetryUploadTest, AnUploadIsMadeOnceInAllAcrossARestart) {
    if (const char* mode = testsupport::ChildProcess::childMode()) {  // the earlier run
        ASSERT_TRUE(WrenDatabase::openShared(std::getenv("UPLOAD_DB"),
                                             std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
        set("S3EndpointURL", std::getenv("UPLOAD_S3"));
        set("FlashwrenWebServiceURL", std::getenv("UPLOAD_REGISTRATION"));
        testsupport::FaultyDisk::install().setFull(std::string(mode) == "full");
        auto row = MediaItemModel::loadMediaItemWithID(std::stoll(std::getenv("UPLOAD_ID")));
        WrenS3Manager::installAsUploadStarter();
        MediaItemHelper::startUpload(row);
        pumpUntil([&] { return !MediaItemHelper::isUploadUnderWay(row->ID); }, 20000);
        testsupport::ChildProcess::report("stopped");
        std::_Exit(0);  // as the booth stops: what the disk could not take is lost
    }
    LoopbackServer fake;
    useFakeS3(fake);
    const std::string db = home.path() + "/db/flashwren_db.sqlite";
    auto earlierRun = [&](const char* mode, const std::shared_ptr<MediaItemModel>& m) {
        return std::make_unique<testsupport::ChildProcess>(
            mode, testsupport::ChildProcess::Env{{"UPLOAD_DB", db}, {"UPLOAD_S3", fake.baseUrl()},
                                                 {"UPLOAD_REGISTRATION", registration.baseUrl()},
                                                 {"UPLOAD_ID", std::to_string(m->ID)}});
    };
    auto restart = [&] {
        ASSERT_TRUE(WrenDatabase::openShared(db, std::string(FLASHWREN_SOURCE_DIR) + "/resources/migrations"));
        RetryUploadToS3Service::markInterruptedUploadsFailed();
        run();
    };

    // The database's disk is full for the whole earlier run, and freed for the next.
    auto full = item("full.jpg");
    ASSERT_TRUE(earlierRun("full", full)->readReports(
        [](const std::string& r) { return r.find("stopped") != std::string::npos; }, std::chrono::seconds(60)));
    restart();
    EXPECT_EQ(fake.requestCount(), 2u) << "the print and its thumbnail, once";
    EXPECT_EQ(registration.requestCount(), 1u);
    EXPECT_EQ(stored(full), std::pair(1, std::string("http://flw.io/p/Ab1")));

    // The booth is killed while its registration awaits the answer.
    registration.setHandler([](const RecordedRequest&) { return Reply{200, {}, "{}", 20000}; });
    auto cut = item("cut.jpg");
    auto killed = earlierRun("killed", cut);
    ASSERT_TRUE(testsupport::waitUntil([&] { return registration.requestCount() == 2; }, std::chrono::seconds(60)));
    killed->kill();
    registration.setHandler([](const RecordedRequest&) {
        return Reply{200, {{"Content-Type", "text/html"}}, R"({"url":"http://flw.io/p/Cut"})"};
    });
    restart();
    advance(std::chrono::seconds(200));
    run();
    EXPECT_EQ(registration.requestCount(), 2u) << "asked again within four minutes";
    advance(std::chrono::seconds(60));
    run();
    EXPECT_EQ(stored(cut), std::pair(1, std::string("http://flw.io/p/Cut")));
    EXPECT_EQ(fake.requestCount(), 4u);

    // Nor does a registration alone go while the disk is full.
    auto again = reload(cut);
    again->uploadStatus = 4;
    ASSERT_TRUE(again->update());
    testsupport::FaultyDisk::install().setFull(true);
    run();
    EXPECT_EQ(registration.requestCount(), 3u);
}

}  // namespace

// A registration that went out without an answer may have been made: it is
// not asked again at every run of the retry service.
TEST_F(RetryUploadTest, AnUnansweredRegistrationIsAskedAgainOnlyAfterItsWait) {
    SharingRuntime::setRequestLimits(SharingRuntime::RequestLimits{std::chrono::seconds(1), std::chrono::seconds(1)});
    registration.enqueue(Reply{200, {}, "{}", 20000});
    auto reg = item("reg.jpg", 4);
    reg->imageURL = "http://images.booth.test/anon.123456/reg.jpg";
    reg->thumbURL = "http://images.booth.test/anon.123456/reg_Thumb.jpg";
    ASSERT_TRUE(reg->update());
    // The waits double from four minutes up to an hour.
    for (int i = 0; i < 4; ++i) registration.enqueue(Reply{200, {}, "{}", 20000});
    run();
    std::vector<int> asked;
    for (int minute = 1; minute <= 124; ++minute) {
        const auto before = registration.requestCount();
        advance(std::chrono::seconds(60));
        main.runPending();
        ASSERT_TRUE(pumpUntil([&] { return !service->isRunning(); }, 15000));
        if (registration.requestCount() > before) asked.push_back(minute);
    }
    EXPECT_EQ(asked, (std::vector<int>{4, 12, 28, 60, 120}));
    EXPECT_EQ(reload(reg)->uploadURL, "http://flw.io/p/Ab1");
    SharingRuntime::setRequestLimits(std::nullopt);
}
