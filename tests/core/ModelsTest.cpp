#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include "ChildProcess.h"
#include "CoreTestSupport.h"
#include "FaultyDisk.h"
#include "LogCapture.h"
#include "base/Files.h"
#include "core/Models.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"

namespace fs = std::filesystem;

namespace {

std::shared_ptr<MediaItemModel> media(const QString& name, int status, QDateTime created = {}) {
    auto m = std::make_shared<MediaItemModel>();
    m->fileName = name;
    m->filePath = name.isEmpty() ? QString() : "/data/prints/" + name;
    m->uploadStatus = status;
    m->dateCreated = created;
    EXPECT_TRUE(m->save());
    return m;
}

std::shared_ptr<SharingModel> share(int type, int done, const QString& to = "guest@example.com",
                                    const QString& path = "/data/prints/a.jpg") {
    auto s = std::make_shared<SharingModel>();
    s->shareType = type;
    s->done = done;
    s->toField = to;
    s->filePath = path;
    if (done) s->dateSent = QDateTime::currentDateTimeUtc();
    EXPECT_TRUE(s->save());
    return s;
}

// A plain RFC 4180 reader: quoted fields may hold commas, doubled quotes and line breaks.
std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false, fieldStarted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += '"', ++i;
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"' && !fieldStarted) {
            quoted = fieldStarted = true;
        } else if (c == ',') {
            rows.back().push_back(field), field.clear(), fieldStarted = false;
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(field), field.clear(), fieldStarted = false;
            rows.emplace_back();
            ++i;
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    if (fieldStarted || !rows.back().empty()) rows.back().push_back(field);
    else rows.pop_back();
    return rows;
}

}  // namespace

using Models = CoreTest;

TEST_F(Models, MediaRowRoundTripsAndUpdates) {
    auto m = media("IMG_1.jpg", MediaUploadStatusUploading);
    m->albumName = "Wedding, \"Smith\"";
    m->imageURL = "http://img.example/anon.1/IMG_1.jpg";
    ASSERT_TRUE(m->update());
    auto back = MediaItemModel::loadMediaItemWithID(m->ID);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->fileName, "IMG_1.jpg");
    EXPECT_EQ(back->albumName, m->albumName);
    EXPECT_EQ(back->imageURL, m->imageURL);
    EXPECT_EQ(back->dateCreated, m->dateCreated);
    EXPECT_FALSE(MediaItemModel::loadMediaItemWithID(m->ID + 100));

    // Each stage update writes only its own columns.
    back->thumbURL = "http://img.example/t.jpg";
    back->uploadStatus = MediaUploadStatusThumbFailed;  // not written by the thumb update
    back->updateOnThumbUploadSuccessToS3();
    auto again = MediaItemModel::loadMediaItemWithID(m->ID);
    EXPECT_EQ(again->thumbURL, "http://img.example/t.jpg");
    EXPECT_EQ(again->uploadStatus, MediaUploadStatusUploading);

    again->uploadURL = "http://fw.example/s/x1";
    again->retryCount = 4;
    again->updateOnWrenTrackURLUploadSuccess();
    auto done = MediaItemModel::loadMediaItemWithID(m->ID);
    EXPECT_EQ(done->uploadStatus, MediaUploadStatusDone);
    EXPECT_EQ(done->retryCount, 0);
    EXPECT_EQ(done->uploadURL, "http://fw.example/s/x1");

    EXPECT_EQ(MediaItemModel().rowCount(), 1);
    EXPECT_TRUE(MediaItemModel().removeRecordWithID(m->ID));
    EXPECT_EQ(MediaItemModel().rowCount(), 0);
}

TEST_F(Models, RetryQueryTakesFailedRowsNewestFirst) {
    QDateTime base = QDateTime::currentDateTimeUtc().addDays(-1);
    // Inserted out of time order, so that ids and dates disagree.
    media("mid.jpg", MediaUploadStatusThumbFailed, base.addSecs(60));
    media("old.jpg", MediaUploadStatusImageFailed, base);
    media("new.jpg", MediaUploadStatusRegistrationFailed, base.addSecs(120));
    media("done.jpg", MediaUploadStatusDone, base.addSecs(200));
    media("uploading.jpg", MediaUploadStatusUploading, base.addSecs(300));
    media("kept.jpg", MediaUploadStatusKeptWithoutUpload, base.addSecs(400));
    media("", MediaUploadStatusImageFailed, base.addSecs(500));  // no file: left out

    auto rows = MediaItemModel::getAllEligibleRecordsForRetry();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0]->fileName, "new.jpg");
    EXPECT_EQ(rows[1]->fileName, "mid.jpg");
    EXPECT_EQ(rows[2]->fileName, "old.jpg");
}

TEST_F(Models, WaitingSharesComeInIdOrderWithEveryField) {
    auto a = share(SharingTypeSMS, 0, "0123456789");
    share(SharingTypeEmail, 1);
    auto c = share(SharingTypeEmail, 0);
    c->lastError = "timed out";
    c->dateLastTried = QDateTime::currentDateTimeUtc();
    c->media_id = 77;
    ASSERT_TRUE(c->update());

    auto waiting = SharingModel::getAllSharingRecordsWaitingToSend();
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(waiting[0]->ID, a->ID);
    EXPECT_EQ(waiting[1]->ID, c->ID);
    EXPECT_EQ(waiting[1]->lastError, "timed out");
    EXPECT_EQ(waiting[1]->media_id, 77);
    EXPECT_EQ(waiting[1]->dateLastTried.toMSecsSinceEpoch(), c->dateLastTried.toMSecsSinceEpoch());
    EXPECT_FALSE(waiting[0]->dateSent.isValid());
    EXPECT_EQ(SharingModel::loadWithID(a->ID)->toField, "0123456789");
}

TEST_F(Models, StatisticsPerShareType) {
    share(SharingTypeEmail, 1);
    auto yesterday = share(SharingTypeEmail, 1);
    yesterday->dateSent = QDateTime(QDate::currentDate().addDays(-1), QTime(23, 59));
    yesterday->update();
    auto older = share(SharingTypeEmail, 0);
    older->lastError = "first error";
    older->dateLastTried = QDateTime::currentDateTimeUtc().addSecs(-60);
    older->update();
    auto latest = share(SharingTypeEmail, 0);
    latest->lastError = "latest error";
    latest->dateLastTried = QDateTime::currentDateTimeUtc();
    latest->update();
    share(SharingTypeEmail, 0);  // pending, never tried
    auto doneWithError = share(SharingTypeSMS, 1);
    doneWithError->lastError = "old error of a sent row";
    doneWithError->update();
    share(5, 0);  // a code outside the list is not reported

    auto stats = SharingStatsInfoModel::getAllStats();
    ASSERT_EQ(stats.size(), 6u);
    EXPECT_EQ(stats[SharingTypeEmail].total, 5);
    EXPECT_EQ(stats[SharingTypeEmail].pending, 3);
    EXPECT_EQ(stats[SharingTypeEmail].totalToday, 1);
    EXPECT_EQ(stats[SharingTypeEmail].lastError, "latest error");
    EXPECT_EQ(stats[SharingTypeSMS].total, 1);
    EXPECT_EQ(stats[SharingTypeSMS].lastError, "");
    EXPECT_EQ(stats[SharingTypePrint].total, 0);
    EXPECT_EQ(stats.count(5), 0u);
}

// A hand-edited or damaged database may hold any number where a small one
// belongs: it reads as 0, said once per value read, never as whatever the
// conversion happens to give.
TEST_F(Models, NumbersBeyondTheirRangeReadAsZeroWithALogLine) {
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(100);
    spdlog::default_logger()->sinks().push_back(sink);
    auto& d = WrenDatabase::shared();
    ASSERT_TRUE(d.execute("INSERT INTO media (id, file_name, upload_status, retry_count) VALUES (5, 'a.jpg', 1e300, 1e10)"));
    ASSERT_TRUE(d.execute("INSERT INTO media (id, file_name, upload_status, retry_count) "
                          "VALUES (6, 'b.jpg', -1e300, '99999999999999999999999')"));
    ASSERT_TRUE(d.execute("INSERT INTO share (id, share_type, done, media_id) VALUES (9, 1e300, 9.3e18, -1e300)"));
    ASSERT_TRUE(d.execute("INSERT INTO share (id, share_type, done, media_id) VALUES (10, 1, 0, 3e9)"));

    std::shared_ptr<MediaItemModel> a, b;
    std::shared_ptr<SharingModel> s, t;
    // Read again and again, as the queue and the retry service do all event long.
    for (int read = 0; read < 3; ++read) {
        a = MediaItemModel::loadMediaItemWithID(5);
        b = MediaItemModel::loadMediaItemWithID(6);
        s = SharingModel::loadWithID(9);
        t = SharingModel::loadWithID(10);
    }
    spdlog::default_logger()->sinks().pop_back();
    ASSERT_TRUE(a && b && s && t);
    EXPECT_EQ(a->uploadStatus, 0);
    EXPECT_EQ(a->retryCount, 0) << "1e10 is no retry count";
    EXPECT_EQ(b->uploadStatus, 0);
    EXPECT_EQ(b->retryCount, 0);
    EXPECT_EQ(s->shareType, 0);
    EXPECT_EQ(s->done, 0);
    EXPECT_EQ(s->media_id, 0);
    EXPECT_EQ(t->shareType, 1);
    EXPECT_EQ(t->media_id, 3000000000LL) << "a row id may pass 2^31";

    int lines = 0;
    for (auto& line : sink->last_formatted())
        if (line.find("out of range") != std::string::npos) ++lines;
    EXPECT_EQ(lines, 7) << "each damaged value is named once, however often it is read";

    // The statistics and the queue go on over the damaged rows.
    auto stats = SharingStatsInfoModel::getAllStats();
    EXPECT_EQ(stats[1].total, 1);
    EXPECT_EQ(SharingModel::getAllSharingRecordsWaitingToSend().size(), 1u);
}

// Damaged rows whose type is no type leave every type's statistics as they
// were, said in one line; a stored number that is no whole number is named.
TEST_F(Models, DamagedShareTypesLeaveTheOtherStatisticsRight) {
    for (int done : {1, 1, 1, 0}) share(SharingTypeEmail, done);
    auto& d = WrenDatabase::shared();
    ASSERT_TRUE(d.execute("UPDATE share SET last_error = 'mail', date_last_tried = '2000-01-01' WHERE done = 0"));
    for (const char* type : {"1e300", "'inf'", "'abc'", "0.5", "'0x'"})
        ASSERT_TRUE(d.execute(std::string("INSERT INTO share (share_type, done, last_error, date_last_tried) VALUES (") +
                              type + ", 0, 'damaged', '2999-01-01')"));
    ASSERT_TRUE(d.execute("INSERT INTO share (id, share_type, done) VALUES (40, 1, 'lots')"));
    // Bytes that read as a type form a group of their own, counted with the type's.
    ASSERT_TRUE(d.execute("INSERT INTO share (share_type, done) VALUES (X'30', 1)"));
    testsupport::LogCapture log;
    auto stats = SharingStatsInfoModel::getAllStats();
    EXPECT_EQ(SharingModel::loadWithID(40)->done, 0);
    EXPECT_EQ(stats[SharingTypeEmail].total, 5);
    EXPECT_EQ(stats[SharingTypeEmail].pending, 1);
    EXPECT_EQ(stats[SharingTypeEmail].lastError, "mail");
    EXPECT_EQ(stats[SharingTypeFacebook].total, 1);
    EXPECT_EQ(log.lines("no share type").size(), 1u) << "one line for all of them";
    EXPECT_EQ(log.lines("share.done \"lots\" is not a whole number").size(), 1u);
}

// A row whose type is no type is never sent (as whatever its type converts
// to), and it is named once, as the statistics name it.
TEST_F(Models, DamagedShareTypesNeverReachTheSendQueue) {
    auto& d = WrenDatabase::shared();
    auto mail = share(SharingTypeEmail, 0);
    for (const char* type : {"'abc'", "1.5", "X'00'", "1e300", "-1", "5", "'1' || char(10) || 'forged'"})
        ASSERT_TRUE(d.execute(std::string("INSERT INTO share (share_type, to_field, done) VALUES (") + type +
                              ", 'guest@example.com', 0)"));
    auto sms = share(SharingTypeSMS, 0, "0123456789");
    testsupport::LogCapture log;
    for (int run = 0; run < 3; ++run) {
        auto waiting = SharingModel::getAllSharingRecordsWaitingToSend();
        ASSERT_EQ(waiting.size(), 2u);
        EXPECT_EQ(waiting[0]->ID, mail->ID);
        EXPECT_EQ(waiting[1]->ID, sms->ID);
    }
    EXPECT_EQ(log.lines("no share type", spdlog::level::warn).size(), 1u) << "once, not at every run";
    for (auto& line : log.lines()) {
        EXPECT_EQ(line.text.find('\0'), std::string::npos) << "a raw NUL in a log line";
        EXPECT_EQ(line.text.find('\n'), std::string::npos) << "a stored line break starts a log line of its own";
    }
    EXPECT_EQ(log.lines("\"\\x00\"").size(), 1u) << "the bytes are named, escaped";
    EXPECT_EQ(log.lines("\"1\\x0aforged\"").size(), 1u) << "the line break is named, escaped";
}

// A damaged value is named once per database file in a run, however often
// it is read; the same damage in another file (a data folder moved) is named
// there too. Past a bound the log says so once and names no more: a database
// full of damage grows neither the log nor the memory without end.
TEST_F(Models, DamagedValuesAreNamedOncePerDatabaseFileUpToABound) {
    if (testsupport::ChildProcess::childMode()) {
        ASSERT_TRUE(WrenDatabase::shared().execute(
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 6000) "
            "INSERT INTO media (file_name, file_path, upload_status, retry_count) "
            "SELECT 'm.jpg', '/data/prints/m.jpg', 2, 'lots' FROM n"));
        testsupport::LogCapture log;
        for (int read = 0; read < 2; ++read) ASSERT_EQ(MediaItemModel::getAllEligibleRecordsForRetry().size(), 6000u);
        testsupport::ChildProcess::report(std::to_string(log.lines("is not a whole number").size()) + " " +
                                          std::to_string(log.lines("no more are named").size()));
        return;
    }
    const char* damage = "INSERT INTO media (id, file_name, file_path, upload_status, retry_count) "
                         "VALUES (7, 'a.jpg', '/data/prints/a.jpg', 2, 'lots')";
    testsupport::LogCapture log;
    auto readAndCount = [&] {
        for (int read = 0; read < 3; ++read) EXPECT_EQ(MediaItemModel::getAllEligibleRecordsForRetry().size(), 1u);
        return log.lines("media.retry_count \"lots\" is not a whole number").size();
    };
    ASSERT_TRUE(WrenDatabase::shared().execute(damage));
    EXPECT_EQ(readAndCount(), 1u);
    ASSERT_TRUE(WrenDatabase::openShared(home.path() + "/moved/flashwren_db.sqlite", migrationsDir()));
    ASSERT_TRUE(WrenDatabase::shared().execute(damage));
    EXPECT_EQ(readAndCount(), 2u) << "the other file's damage was never named";
    ASSERT_TRUE(WrenDatabase::openShared(dbPath(), migrationsDir()));
    EXPECT_EQ(readAndCount(), 2u) << "named again in the first file";

    // A fresh run, as the count is the run's.
    testsupport::ChildProcess many("many");
    ASSERT_TRUE(many.readReports([](const std::string& r) { return r.find('\n') != std::string::npos; },
                                 std::chrono::seconds(120)))
        << many.output();
    std::size_t named = 0, stopped = 0;
    std::istringstream(many.reports()) >> named >> stopped;
    EXPECT_GE(named, 1000u) << "the first damaged values are each named";
    EXPECT_LT(named, 6000u) << "every one of a database full of damage was named";
    EXPECT_EQ(stopped, 1u) << "said once that no more are named";
}

// One damaged row is as worth a line as many.
TEST_F(Models, ASingleDamagedShareTypeIsNamed) {
    share(SharingTypeEmail, 1);
    ASSERT_TRUE(WrenDatabase::shared().execute("INSERT INTO share (share_type, done) VALUES ('abc', 0)"));
    testsupport::LogCapture log;
    for (int read = 0; read < 2; ++read) {
        auto stats = SharingStatsInfoModel::getAllStats();
        EXPECT_EQ(stats[SharingTypeEmail].total, 1);
        EXPECT_TRUE(SharingModel::getAllSharingRecordsWaitingToSend().empty());
    }
    EXPECT_EQ(log.lines("out of the statistics", spdlog::level::warn).size(), 1u);
    EXPECT_EQ(log.lines("out of the send queue", spdlog::level::warn).size(), 1u);
}

TEST_F(Models, ResettingStatisticsKeepsQueuedShares) {
    share(SharingTypeEmail, 1);
    auto pendingMail = share(SharingTypeEmail, 0);
    auto pendingSms = share(SharingTypeSMS, 0, "0123456789");
    share(SharingTypeTwitter, 1);

    ASSERT_TRUE(SharingStatsInfoModel::removeAllSharesExceptPending());
    auto waiting = SharingModel::getAllSharingRecordsWaitingToSend();
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(SharingModel().rowCount(), 2);

    ASSERT_TRUE(SharingStatsInfoModel::retireAllPendingItemsForSharingType(SharingTypeEmail));
    waiting = SharingModel::getAllSharingRecordsWaitingToSend();
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0]->ID, pendingSms->ID);
}

TEST_F(Models, CsvExportQuotesAwkwardValues) {
    UserDefaults::standard().set("DATA_DIRECTORY", home.path() + "/data/");
    QDir().mkpath(QString::fromStdString(home.path() + "/data"));
    auto first = share(SharingTypeEmail, 1, "\"Ann\", <ann@example.com>", "/data/my, prints/a \"1\".jpg");
    first->dateEntered = QDateTime::currentDateTimeUtc().addSecs(-100);
    first->update();
    share(SharingTypeSMS, 1, "line\r\nbreak\nhere", "/data/prints/b.jpg");
    share(SharingTypeEmail, 0, "pending@example.com");  // not exported

    ASSERT_TRUE(SharingStatsInfoModel::generateCSVOfAllSharing());
    EXPECT_EQ(SharingStatsInfoModel::csvPath().toStdString(), home.path() + "/data/flashwren_shares.csv");
    auto text = base::readFile(SharingStatsInfoModel::csvPath().toStdString());
    ASSERT_TRUE(text);
    auto rows = parseCsv(*text);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Date", "Filename", "Directory", "Type", "To"}));
    ASSERT_EQ(rows[1].size(), 5u);
    EXPECT_EQ(rows[1][1], "a \"1\".jpg");
    EXPECT_EQ(rows[1][2], "/data/my, prints");
    EXPECT_EQ(rows[1][3], "E-mail");
    EXPECT_EQ(rows[1][4], "\"Ann\", <ann@example.com>");
    ASSERT_EQ(rows[2].size(), 5u);
    EXPECT_EQ(rows[2][3], "SMS");
    EXPECT_EQ(rows[2][4], "line\r\nbreak\nhere");
    EXPECT_FALSE(rows[1][0].empty());
}

TEST(Database, MigratesAnOldSchemaAndKeepsItsRows) {
    testsupport::ScopedHome home;
    std::string path = home.path() + "/old.sqlite";
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        auto first = base::readFile(migrationsDir() + "/1_initial_schema.sql");
        ASSERT_TRUE(first);
        ASSERT_EQ(sqlite3_exec(db, first->c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        // Recorded the way earlier releases did.
        ASSERT_EQ(sqlite3_exec(db,
                               "CREATE TABLE schema_migrations (version INTEGER UNIQUE NOT NULL);"
                               "INSERT INTO schema_migrations VALUES (1);"
                               "INSERT INTO media (file_name, file_path, upload_status) VALUES ('x.jpg', '/p/x.jpg', 2);"
                               "INSERT INTO share (share_type, to_field, done) VALUES (0, 'a@b.cd', 0);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    WrenDatabase db;
    ASSERT_TRUE(db.open(path, migrationsDir())) << db.lastError();
    EXPECT_EQ(db.schemaVersion(), 3);
    auto rows = db.query("SELECT file_name, date_created FROM media");
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_EQ(std::get<std::string>((*rows)[0][0]), "x.jpg");
    EXPECT_TRUE(std::holds_alternative<std::string>((*rows)[0][1]));  // creation date filled in
    // Its booth's prints count as this database's from its newest row on.
    auto runs = db.query("SELECT started FROM booth_run");
    ASSERT_TRUE(runs && runs->size() == 1u);
    EXPECT_EQ((*runs)[0][0], (*rows)[0][1]);
    db.close();

    // Opening again applies nothing twice.
    WrenDatabase again;
    ASSERT_TRUE(again.open(path, migrationsDir())) << again.lastError();
    EXPECT_EQ(again.schemaVersion(), 3);
    EXPECT_EQ(again.lastError(), "");
}

// The journals of a database that is set aside go with it, kept: left in
// place they would be taken for the new database's own.
TEST(Database, DamagedFileIsSetAsideNotOverwritten) {
    testsupport::ScopedHome home;
    std::string path = home.path() + "/flashwren_db.sqlite";
    std::string garbage(8192, 'x');
    { std::ofstream(path, std::ios::binary) << garbage; }
    auto writeJournals = [&](const std::string& of) {
        for (const char* suffix : {"-journal", "-wal"})
            ASSERT_TRUE(base::writeFileAtomically(path + suffix, std::string(suffix) + " of " + of));
    };
    // What was set aside of each journal; the journal names themselves are free.
    auto journalsAside = [&] {
        std::multiset<std::string> aside;
        for (const char* suffix : {"-journal", "-wal"}) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(path + suffix))) << suffix;
            for (auto& e : fs::directory_iterator(home.path()))
                if (e.path().filename().string().rfind(std::string("flashwren_db.sqlite") + suffix + ".corrupt-", 0) == 0)
                    aside.insert(base::readFile(e.path().string()).value_or("?"));
        }
        return aside;
    };
    writeJournals("the damaged file");

    WrenDatabase db;
    ASSERT_TRUE(db.open(path, migrationsDir()));
    EXPECT_NE(db.lastError(), "");
    EXPECT_EQ(db.schemaVersion(), 3);
    bool found = false;
    for (auto& e : fs::directory_iterator(home.path())) {
        if (e.path().filename().string().rfind("flashwren_db.sqlite.corrupt-", 0) == 0) {
            found = true;
            EXPECT_EQ(*base::readFile(e.path().string()), garbage);
        }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(journalsAside(), (std::multiset<std::string>{"-journal of the damaged file", "-wal of the damaged file"}));
    db.close();

    // Not a file at all: set aside unopened, with the reason in words.
    fs::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    writeJournals("the pipe");
    WrenDatabase fresh;
    auto opening = std::async(std::launch::async, [&] { return fresh.open(path, migrationsDir()); });
    if (opening.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));
        FAIL() << "a named pipe as the database hangs the booth";
    }
    EXPECT_TRUE(opening.get()) << fresh.lastError();
    EXPECT_NE(fresh.lastError().find("named pipe"), std::string::npos) << fresh.lastError();
    EXPECT_EQ(fresh.schemaVersion(), 3);
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(journalsAside(), (std::multiset<std::string>{"-journal of the damaged file", "-wal of the damaged file",
                                                           "-journal of the pipe", "-wal of the pipe"}));
    fresh.close();

    // A database that is only busy (another copy holds it) is no damaged
    // file: it is not opened, and it stays where it is, with its data.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    WrenDatabase busy;
    EXPECT_FALSE(busy.open(path, migrationsDir()));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    int asideCount = 0;
    for (auto& e : fs::directory_iterator(home.path()))
        asideCount += e.path().filename().string().rfind("flashwren_db.sqlite.corrupt-", 0) == 0;
    EXPECT_EQ(asideCount, 2) << "the damaged file and the pipe, nothing more";
    WrenDatabase again;
    EXPECT_TRUE(again.open(path, migrationsDir())) << again.lastError();
}

// A database file the booth may not write opens read-only; once the file
// may be written again, the next write opens it anew and is stored. Each
// reason for failing writes is logged once, not at every try.
TEST(Database, AReadOnlyFileIsWrittenOnceItMayBeAndEachReasonIsLoggedOnce) {
    testsupport::ScopedHome home;
    auto& disk = testsupport::FaultyDisk::install();
    const std::string path = home.path() + "/ro.sqlite";
    {
        WrenDatabase made;
        ASSERT_TRUE(made.open(path, migrationsDir()));
    }
    disk.setHonoursFileModes(true);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    WrenDatabase db;
    ASSERT_TRUE(db.open(path, migrationsDir())) << db.lastError();
    {
        testsupport::LogCapture log;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(db.insert("INSERT INTO share (share_type) VALUES (0)"), -1);
        EXPECT_EQ(log.lines("Database:", spdlog::level::err).size(), 1u);
        disk.setFull(true);
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(db.insert("INSERT INTO share (share_type) VALUES (0)"), -1);
        EXPECT_EQ(log.lines("Database:", spdlog::level::err).size(), 2u) << "the full disk is a new reason";
        disk.setFull(false);
    }
    disk.setHonoursFileModes(false);
    EXPECT_GT(db.insert("INSERT INTO share (share_type) VALUES (0)"), 0) << db.lastError();
    WrenDatabase reader;
    ASSERT_TRUE(reader.open(path, migrationsDir()));
    auto rows = reader.query("SELECT COUNT(*) FROM share");
    ASSERT_TRUE(rows && !rows->empty());
    EXPECT_EQ(std::get<std::int64_t>(rows->front()[0]), 1);
}

TEST(Database, FailedMigrationIsRolledBackAndReported) {
    testsupport::ScopedHome home;
    testsupport::TempDir migrations;
    base::writeFileAtomically(migrations.file("1_a.sql"), "CREATE TABLE t (x INTEGER);");
    base::writeFileAtomically(migrations.file("2_b.sql"), "CREATE TABLE u (y INTEGER); THIS IS NOT SQL;");
    base::writeFileAtomically(migrations.file("notes.txt"), "ignored");
    WrenDatabase db;
    EXPECT_FALSE(db.open(home.path() + "/d.sqlite", migrations.path()));
    EXPECT_NE(db.lastError().find("2_b.sql"), std::string::npos);
    EXPECT_EQ(db.schemaVersion(), 1);
    EXPECT_FALSE(db.query("SELECT * FROM u"));  // the half of 2 that ran is gone
}
