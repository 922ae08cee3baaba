#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <ZXing/ReadBarcode.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "ChildProcess.h"
#include "LogCapture.h"
#include "LoopbackServer.h"
#include "TempDir.h"
#include "Wait.h"
#include "base/Files.h"
#include "core/OperatorNotice.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"

namespace {

// Runs a command with `input` on its standard input and returns what it printed.
std::string runWithInput(const std::string& command, const std::string& input, const std::string& dir) {
    std::string inFile = dir + "/stdin";
    base::writeFileAtomically(inFile, input);
    std::string out;
    FILE* p = ::popen((command + " < '" + inFile + "'").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

}  // namespace

TEST(WrenUtils, EmailPatternAsGiven) {
    for (const char* good : {"guest@example.com", "a.b_c%d+e-f@mail.sub.example.info", "X9@y-z.CO"})
        EXPECT_TRUE(WrenUtils::NSStringIsValidEmail(good)) << good;
    for (const char* bad : {"", "guest@example", "guest@example.c", "guest@example.museum", "guest@@example.com",
                            "guest@exa_mple.com", "guest@.com", " guest@example.com", "guest@example.com\n",
                            "gu est@example.com", "güest@example.com", "guest@example.com.1"})
        EXPECT_FALSE(WrenUtils::NSStringIsValidEmail(bad)) << bad;
}

TEST(WrenUtils, PhonePatternAsGiven) {
    for (const char* good : {"123456", "01234567890123"}) EXPECT_TRUE(WrenUtils::isValidPhoneNumber(good)) << good;
    for (const char* bad : {"", "12345", "123456789012345", "+1234567", "123 4567", "123456\n", "12345a"})
        EXPECT_FALSE(WrenUtils::isValidPhoneNumber(bad)) << bad;
    EXPECT_FALSE(WrenUtils::isValidPhoneNumber(QString::fromUtf8("١٢٣٤٥٦٧")));  // other digits
}

TEST(WrenUtils, EncodedFormReachesAStandardParserUnchanged) {
    testsupport::TempDir dir;
    QList<QPair<QString, QString>> fields = {
        {"url", "http://img.example/a.jpg?x=1&y=2"},
        {"sum", "1+1=2"},
        {"text", QString::fromUtf8("100% ünïcødé / line\nbreak; #tag")},
        {"empty", ""},
        {"k&=+", "~-._"},
    };
    QByteArray body = WrenUtils::encodeDictionary(fields);
    EXPECT_FALSE(body.contains(' '));
    auto parsed = nlohmann::json::parse(runWithInput(
        "python3 -c 'import sys, json, urllib.parse; "
        "print(json.dumps(urllib.parse.parse_qsl(sys.stdin.read(), keep_blank_values=True, strict_parsing=True)))'",
        body.toStdString(), dir.path()), nullptr, false);
    auto expected = nlohmann::json::array();
    for (auto& [k, v] : fields) expected.push_back({k.toStdString(), v.toStdString()});
    EXPECT_EQ(parsed, expected);
}

TEST(WrenUtils, MD5StringIsUpperCaseHex) {
    EXPECT_EQ(MD5String(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(MD5String("The quick brown fox jumps over the lazy dog"), "9E107D9D372BB6826BD81D3542A419D6");
}

TEST(WrenUtils, InstallationIdentifiersAreMadeOnceAndKept) {
    testsupport::ScopedHome home;
    std::set<QString> ids;
    std::mutex m;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            QString id = WrenUtils::getSerialOrUniqueUserID();
            std::lock_guard lock(m);
            ids.insert(id);
        });
    for (auto& t : threads) t.join();
    ASSERT_EQ(ids.size(), 1u);
    QString id = *ids.begin();
    ASSERT_TRUE(id.startsWith("anon.mac."));
    bool ok = false;
    qulonglong n = id.mid(9).toULongLong(&ok);
    EXPECT_TRUE(ok);
    EXPECT_LE(n, 1000000000ull);
    EXPECT_EQ(UserDefaults::standard().string("unique_random_user_id"), id.mid(9).toStdString());

    WrenUtils::makeFirstLaunchSettings();
    QString uuid = WrenUtils::getUniqueUUID();
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$").match(uuid).hasMatch());
    EXPECT_EQ(WrenUtils::getUniqueUUID(), uuid);
    EXPECT_EQ(WrenUtils::getSerialOrUniqueUserID(), id);
}

TEST(WrenUtils, DataFoldersAreSetUpAtStartup) {
    testsupport::ScopedHome home;
    QString data = WrenUtils::getDataDirectory();
    EXPECT_EQ(data, QString::fromStdString(home.path()) + "/Pictures/flashwren/");
    EXPECT_EQ(UserDefaults::standard().string("DATA_DIRECTORY"), data.toStdString());
    ASSERT_TRUE(WrenUtils::setupFoldersAtStartup());
    for (const char* sub : {"incoming", "originals", "prints", "prints/thumb", "templates", "Green Screen", "Temp"})
        EXPECT_TRUE(QFileInfo(data + sub).isDir()) << sub;
    EXPECT_TRUE(QFileInfo(QString::fromStdString(home.path()) + "/.local/share/flashwren/squeue").isDir());
    EXPECT_EQ(UserDefaults::standard().string("PHOTO_FOLDER_PATH"), (data + "prints").toStdString());

    UserDefaults::standard().set("DATA_DIRECTORY", home.path() + "/elsewhere");
    EXPECT_EQ(WrenUtils::getPrintsFolderPath(), QString::fromStdString(home.path()) + "/elsewhere/prints");
}

namespace {
void makeFile(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write("stray");
}
}  // namespace

TEST(WrenUtils, AStrayFileInPlaceOfACopyFolderIsSkipped) {
    testsupport::ScopedHome home;
    const QString data = QString::fromStdString(home.path()) + "/data/";
    UserDefaults::standard().set("DATA_DIRECTORY", data.toStdString());
    ASSERT_TRUE(QDir().mkpath(data));
    for (const char* copyFolder : {"Green Screen", "originals", "Temp"}) makeFile(data + copyFolder);
    QString problem;
    EXPECT_TRUE(WrenUtils::createDataSubfolders(&problem)) << problem.toStdString();
    EXPECT_TRUE(problem.isEmpty());
    for (const char* sub : {"incoming", "prints", "prints/thumb", "templates"})
        EXPECT_TRUE(QFileInfo(data + sub).isDir()) << sub;
    EXPECT_TRUE(QFileInfo(data + "Green Screen").isFile()) << "the operator's file is left alone";
}

TEST(WrenUtils, AFolderASessionNeedsNamesThePathAtFault) {
    testsupport::ScopedHome home;
    WrenUtils::setFreeDiskSpaceProbe([](const QString&) { return qint64(50) << 30; });
    const QString data = QString::fromStdString(home.path()) + "/data/";
    UserDefaults::standard().set("DATA_DIRECTORY", data.toStdString());
    ASSERT_TRUE(QDir().mkpath(data));
    makeFile(data + "prints");
    QString problem;
    EXPECT_FALSE(WrenUtils::createDataSubfolders(&problem));
    EXPECT_TRUE(problem.contains(data + "prints is a file")) << problem.toStdString();
    EXPECT_TRUE(problem.contains("move that file away")) << problem.toStdString();

    // The data folder itself below a plain file: the file is named.
    const QString drive = QString::fromStdString(home.path()) + "/drive";
    makeFile(drive);
    EXPECT_TRUE(WrenUtils::folderProblemMessage(drive + "/flashwren/incoming").contains(drive + " is a file"));
    WrenUtils::setFreeDiskSpaceProbe(nullptr);
}

// The analytics queue is kept beside the booth's settings, not in the data
// folder: another data folder cannot help it, and sessions go on without it.
TEST(WrenUtils, AnAnalyticsQueueThatCannotBeMadeIsAStandingNoticeThatNamesIt) {
    testsupport::ScopedHome home;
    const QString queue = WrenUtils::getAnalyticsQueueFolderPath();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(queue).path()));
    makeFile(queue);
    QString problem;
    EXPECT_TRUE(WrenUtils::setupFoldersAtStartup(&problem)) << "the data folder is fine";
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    const QStringList notices = OperatorNotice::shared().texts();
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].contains(queue + " is a file")) << notices[0].toStdString();
    EXPECT_TRUE(notices[0].contains("move that file away")) << notices[0].toStdString();
    EXPECT_FALSE(notices[0].contains("data folder")) << notices[0].toStdString();

    ASSERT_TRUE(QFile::remove(queue));
    EXPECT_TRUE(WrenUtils::setupFoldersAtStartup());
    EXPECT_TRUE(OperatorNotice::shared().texts().isEmpty());
}

// A folder carried into another (the templates, when the operator moves the
// data folder): folders and files at any depth, and a link's file; what
// could hang the copy or feed it without end (a named pipe, a socket, a
// device) and a link to a folder stay behind, each named in the log. What
// the destination holds already is never replaced.
TEST(WrenUtils, CopyingAFolderTakesFilesAndFoldersAndNamesWhatItLeaves) {
    namespace fs = std::filesystem;
    testsupport::TempDir from, to;
    auto write = [](const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        ASSERT_TRUE(base::writeFileAtomically(path, text));
    };
    write(from.file("Classic/template.xml"), "<template/>");
    write(from.file("Classic/frames/1.png"), std::string(300000, 'p'));
    fs::create_directories(from.file("Empty"));
    write(from.file("kept.txt"), "the new one");
    write(to.file("kept.txt"), "the one there");
    fs::create_symlink(from.file("Classic/template.xml"), from.file("linked.xml"));
    fs::create_symlink(from.file("Classic"), from.file("linkedFolder"));
    fs::create_symlink("/dev/null", from.file("device"));
    const std::vector<std::string> pipes = {from.file("pipe"), from.file("Classic/pipe")};
    for (const auto& pipe : pipes) ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = from.file("socket");
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    // Modes as they were, whatever the copier's umask takes away.
    fs::permissions(from.file("Classic/template.xml"), fs::perms(0664));
    fs::permissions(from.file("Classic/frames"), fs::perms(0750));
    const mode_t umaskWas = ::umask(022);

    testsupport::LogCapture log;
    auto copying = std::async(std::launch::async, [&] {
        WrenUtils::copyDirectoryFrom(QString::fromStdString(from.path()), QString::fromStdString(to.path()));
    });
    if (copying.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // A writer that comes and goes lets a stuck open of a pipe go.
        while (copying.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
            for (const auto& pipe : pipes) ::close(::open(pipe.c_str(), O_WRONLY | O_NONBLOCK));
        ::close(listening);
        FAIL() << "a named pipe hangs the copy";
    }
    ::close(listening);
    ::umask(umaskWas);

    EXPECT_EQ(base::readFile(to.file("Classic/template.xml")).value_or(""), "<template/>");
    EXPECT_EQ(fs::status(to.file("Classic/template.xml")).permissions(), fs::perms(0664));
    EXPECT_EQ(fs::status(to.file("Classic/frames")).permissions(), fs::perms(0750));
    EXPECT_EQ(base::readFile(to.file("Classic/frames/1.png")).value_or(""), std::string(300000, 'p'));
    EXPECT_TRUE(fs::is_directory(to.file("Empty")));
    EXPECT_EQ(base::readFile(to.file("linked.xml")).value_or(""), "<template/>");
    EXPECT_FALSE(fs::is_symlink(to.file("linked.xml"))) << "the file itself, not the link";
    EXPECT_EQ(base::readFile(to.file("kept.txt")).value_or(""), "the one there");
    for (const char* left : {"pipe", "Classic/pipe", "socket", "device", "linkedFolder"}) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(to.file(left)))) << left;
        EXPECT_EQ(log.lines(from.file(left) + " was not copied because").size(), 1u) << left;
    }
    for (const char* why : {"named pipe", "socket", "character device", "symbolic link to a folder"})
        EXPECT_FALSE(log.lines(why).empty()) << why;
    for (auto& entry : fs::recursive_directory_iterator(to.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
}

// A copy cut short, by a kill halfway through a file or by a stop, leaves
// nothing half made: the next copy takes the whole folder again, not the
// part a dead copy left. A stop is heard inside a large file.
TEST(WrenUtils, ACopyCutShortLeavesNoPartForTheNextToKeep) {
    namespace fs = std::filesystem;
    constexpr std::size_t kFile = 256 << 10;
    if (testsupport::ChildProcess::childMode()) {  // killed halfway through its eleventh file
        WrenUtils::copyDirectoryFrom(std::getenv("COPY_FROM"), std::getenv("COPY_TO"), nullptr,
                                     [](qint64 copied, qint64) {
                                         if (copied >= qint64(kFile) * 21 / 2) ::kill(::getpid(), SIGKILL);
                                         return true;
                                     });
        return;
    }
    testsupport::TempDir from, to;
    fs::create_directories(from.file("Big"));
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(base::writeFileAtomically(from.file("Big/" + std::to_string(i) + ".png"), std::string(kFile, 'p')));
    const QString source = QString::fromStdString(from.path()), destination = QString::fromStdString(to.path());

    testsupport::ChildProcess copy("copy", {{"COPY_FROM", from.path()}, {"COPY_TO", to.path()}});
    ASSERT_TRUE(copy.started());
    const auto status = copy.wait(std::chrono::seconds(60));
    ASSERT_TRUE(status && WIFSIGNALED(*status)) << "the copy was not cut short: " << copy.output();

    EXPECT_TRUE(WrenUtils::copyDirectoryFrom(source, destination));
    for (int i = 0; i < 20; ++i) {
        std::error_code missing;
        EXPECT_EQ(fs::file_size(to.file("Big/" + std::to_string(i) + ".png"), missing), kFile) << i << " is missing";
    }
    for (auto& entry : fs::recursive_directory_iterator(to.path()))
        EXPECT_TRUE(entry.path().filename() == "Big" || entry.path().extension() == ".png") << entry.path();

    // A stop while one large file is copied.
    fs::remove_all(to.file("Big"));
    fs::remove_all(from.file("Big"));
    ASSERT_TRUE(base::writeFileAtomically(from.file("large.bin"), std::string(32 << 20, 'l')));
    qint64 heard = 0;
    QString problem;
    EXPECT_FALSE(WrenUtils::copyDirectoryFrom(source, destination, &problem, [&](qint64 copied, qint64) {
        heard = copied;
        return false;
    }));
    EXPECT_LT(heard, qint64(32) << 20) << "the stop waits for the file to end";
    EXPECT_TRUE(problem.contains("stopped")) << problem.toStdString();
    EXPECT_EQ(fs::directory_iterator(to.path()), fs::directory_iterator()) << "the stopped copy left something";
}

TEST(WrenUtils, FreeSpaceDecidesBetweenFullLowAndEnough) {
    testsupport::ScopedHome home;
    const QString data = QString::fromStdString(home.path()) + "/data/";
    UserDefaults::standard().set("DATA_DIRECTORY", data.toStdString());
    EXPECT_GT(WrenUtils::freeDiskSpaceAt(data + "not/made/yet"), 0) << "measured on the nearest folder that exists";

    qint64 free = 0;
    WrenUtils::setFreeDiskSpaceProbe([&](const QString&) { return free; });
    const qint64 MB = 1024 * 1024;
    free = 5 * MB;
    EXPECT_TRUE(WrenUtils::isDiskFull(data));
    EXPECT_TRUE(WrenUtils::diskFullMessage(data).startsWith("The disk is full: "));
    EXPECT_TRUE(WrenUtils::folderProblemMessage(data + "incoming").startsWith("The disk is full: "));
    free = 150 * MB;
    EXPECT_FALSE(WrenUtils::isDiskFull(data));
    EXPECT_TRUE(WrenUtils::lowDiskSpaceWarning().startsWith("Low disk space: only 150 MB free"))
        << WrenUtils::lowDiskSpaceWarning().toStdString();
    UserDefaults::standard().set("LOW_DISK_SPACE_WARNING_MB", 100);
    EXPECT_TRUE(WrenUtils::lowDiskSpaceWarning().isEmpty()) << "the operator's own threshold";
    // A hand-edited threshold too large to count in bytes still warns.
    UserDefaults::standard().set("LOW_DISK_SPACE_WARNING_MB", 1e15);
    EXPECT_FALSE(WrenUtils::lowDiskSpaceWarning().isEmpty()) << "an overflowing threshold must not silence the warning";
    // A threshold below its range is a mistake, not "never warn": the default holds.
    UserDefaults::standard().set("LOW_DISK_SPACE_WARNING_MB", -5);
    free = 63 * MB;
    EXPECT_TRUE(WrenUtils::lowDiskSpaceWarning().startsWith("Low disk space: only 63 MB free"))
        << "a negative threshold must not silence the warning";
    EXPECT_EQ(UserDefaults::standard().integer("LOW_DISK_SPACE_WARNING_MB"), 200);
    free = 150 * MB;
    UserDefaults::standard().remove("LOW_DISK_SPACE_WARNING_MB");
    free = 200 * MB;
    EXPECT_TRUE(WrenUtils::lowDiskSpaceWarning().isEmpty());
    free = -1;
    EXPECT_FALSE(WrenUtils::isDiskFull(data)) << "unknown is not full";
    EXPECT_TRUE(WrenUtils::lowDiskSpaceWarning().isEmpty());
    WrenUtils::setFreeDiskSpaceProbe(nullptr);
}

TEST(WrenUtils, QRCodeDecodesToItsText) {
    QString text = QString::fromUtf8("http://fw.example/s/Ab3?x=1&name=Zoë");
    QImage qr = WrenUtils::qrCodeImage(text, 300);
    ASSERT_FALSE(qr.isNull());
    EXPECT_EQ(qr.size(), QSize(300, 300));
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    auto result = ZXing::ReadBarcode(
        {qr.constBits(), qr.width(), qr.height(), ZXing::ImageFormat::Lum, static_cast<int>(qr.bytesPerLine())}, hints);
    ASSERT_TRUE(result.isValid());
    EXPECT_EQ(QString::fromStdWString(result.text()), text);
    EXPECT_TRUE(WrenUtils::qrCodeImage("", 100).isNull());
}

TEST(WrenUtils, SyncGetParsesJsonAndReportsTransportErrors) {
    testsupport::LoopbackServer server;
    server.enqueue({200, {{"Content-Type", "application/json"}}, R"({"data":[{"id":"1"}]})"});
    server.enqueue({500, {}, "<html>not json</html>"});
    QString error;
    auto json = WrenUtils::sendSyncHTTPGetRequestAt(QString::fromStdString(server.baseUrl() + "/me?x=1"), &error);
    ASSERT_TRUE(json);
    EXPECT_EQ((*json)["data"][0]["id"], "1");
    EXPECT_TRUE(error.isEmpty());
    EXPECT_FALSE(WrenUtils::sendSyncHTTPGetRequestAt(QString::fromStdString(server.baseUrl()), &error));
    EXPECT_TRUE(error.isEmpty());
    std::string url = server.baseUrl();
    server.stop();
    EXPECT_FALSE(WrenUtils::sendSyncHTTPGetRequestAt(QString::fromStdString(url), &error));
    EXPECT_FALSE(error.isEmpty());
}

