#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QImage>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "GalleryTestEnv.h"
#include "TempDir.h"
#include "base/Files.h"
#include "base/Http.h"
#include "core/MediaItemHelper.h"
#include "core/UserDefaults.h"
#include "gallery/ManageHTTPServer.h"
#include "gallery/MyHTTPConnection.h"

namespace fs = std::filesystem;
using gallerytest::writeJpeg;

namespace {

class GalleryServer : public ::testing::Test {
protected:
    void SetUp() override {
        gallerytest::ensureEnvironment();
        prints = dir.path() + "/prints";
        fs::create_directories(prints);
        UserDefaults::standard().set("PHOTO_FOLDER_PATH", prints);
        UserDefaults::standard().set("ALBUM_NAME", "");
    }

    ManageHTTPServer& start() {
        ManageHTTPServer::Options options;
        options.bindAddress = "127.0.0.1";
        int port = 0;
        int probe = gallerytest::listenOn(0, &port);
        ::close(probe);
        options.firstPort = port;
        options.lastPort = port + 20;
        options.localAddresses = [] { return std::map<std::string, std::string>{}; };
        options.trackEvent = [](const std::string&, const std::string&) {};
        server = std::make_unique<ManageHTTPServer>(options);
        EXPECT_TRUE(server->startHTTPServer());
        return *server;
    }

    base::HttpResponse get(const std::string& target, const std::string& method = "GET") {
        base::HttpRequest request;
        request.method = method;
        request.url = "http://127.0.0.1:" + std::to_string(server->port()) + target;
        request.timeoutSeconds = 10;
        return base::httpPerform(request);
    }

    testsupport::TempDir dir;
    std::string prints;
    std::unique_ptr<ManageHTTPServer> server;
};

TEST_F(GalleryServer, TakesTheNextPortWhenTheFirstIsInUseAndPublishesIt) {
    int first = 0;
    int blocker = gallerytest::listenOn(0, &first);
    ASSERT_GE(blocker, 0);
    ManageHTTPServer::Options options;
    options.bindAddress = "127.0.0.1";
    options.firstPort = first;
    options.lastPort = first + 30;
    options.localAddresses = [] { return std::map<std::string, std::string>{}; };
    std::vector<std::string> tracked;
    options.trackEvent = [&](const std::string& category, const std::string& action) {
        tracked.push_back(category + "/" + action);
    };
    ManageHTTPServer taken(options);
    ASSERT_TRUE(taken.startHTTPServer());
    EXPECT_EQ(tracked, std::vector<std::string>{"glimmerly/started"});
    EXPECT_GT(taken.port(), first);
    EXPECT_EQ(UserDefaults::standard().string("HTTP_SERVER_PORT"), std::to_string(taken.port()));

    // With every port of the range taken the server stays off and publishes nothing.
    UserDefaults::standard().set("HTTP_SERVER_PORT", "untouched");
    options.lastPort = first;
    ManageHTTPServer none(options);
    EXPECT_FALSE(none.startHTTPServer());
    EXPECT_FALSE(none.isRunning());
    EXPECT_EQ(UserDefaults::standard().string("HTTP_SERVER_PORT"), "untouched");
    EXPECT_EQ(tracked.size(), 1u) << "a server that did not start is not reported";
    ::close(blocker);
}

TEST_F(GalleryServer, ListsThePrintsWithTheirUploadAddressesAndTheEventName) {
    ASSERT_TRUE(writeJpeg(prints + "/IMG_0002.jpg", 40, 30));
    ASSERT_TRUE(writeJpeg(prints + "/IMG_0001.JPG", 40, 30));
    std::ofstream(prints + "/notes.png") << "x";
    std::ofstream(prints + "/.IMG_0003.jpg.tmp") << "x";
    auto media = std::make_shared<MediaItemModel>();
    media->fileName = "IMG_0002.jpg";
    media->filePath = QString::fromStdString(prints + "/IMG_0002.jpg");
    media->uploadURL = "https://fw.example/abc";
    MediaItemHelper::addNewlyCreatedMediaItemToCache(media);
    start();

    auto reply = get("/list");
    ASSERT_EQ(reply.status, 200) << reply.error;
    EXPECT_EQ(reply.header("Content-Type").value_or(""), "application/json");
    EXPECT_EQ(reply.header("charset").value_or(""), "utf-8");
    EXPECT_NE(reply.body.find("\n  \"Items\""), std::string::npos) << "pretty-printed";
    auto json = nlohmann::json::parse(reply.body);
    EXPECT_EQ(json["EventName"], "Photos");
    ASSERT_EQ(json["Items"].size(), 2u);
    EXPECT_EQ(json["Items"][0]["FileName"], "IMG_0001.JPG");
    EXPECT_EQ(json["Items"][0]["UploadUrl"], "");
    EXPECT_EQ(json["Items"][0]["Thumbnail"], "thumb/IMG_0001.JPG");
    EXPECT_EQ(json["Items"][1]["UploadUrl"], "https://fw.example/abc");
    std::string created = json["Items"][1]["DateCreated"];
    EXPECT_TRUE(std::regex_match(created, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{1,8})"))) << created;

    UserDefaults::standard().set("ALBUM_NAME", "Ava & Noah");
    EXPECT_EQ(nlohmann::json::parse(get("/list").body)["EventName"], "Ava & Noah");

    // start_time narrows the list to prints made since then; an empty value does not.
    EXPECT_EQ(nlohmann::json::parse(get("/list?start_time=2999-01-01T00:00:00.0").body)["Items"].size(), 0u);
    EXPECT_EQ(nlohmann::json::parse(get("/list?start_time=2001-01-01T00:00:00.0").body)["Items"].size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(get("/list?start_time=").body)["Items"].size(), 2u);

    // A folder that cannot be read lists nothing.
    UserDefaults::standard().set("PHOTO_FOLDER_PATH", dir.path() + "/missing");
    EXPECT_EQ(nlohmann::json::parse(get("/list").body)["Items"].size(), 0u);
}

TEST_F(GalleryServer, MakesALetterboxedThumbnailOnceAndThenServesTheFile) {
    ASSERT_TRUE(writeJpeg(prints + "/IMG_0042.jpg", 300, 600));
    start();
    auto reply = get("/thumb/IMG_0042.jpg");
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type").value_or(""), "image/jpg");
    QImage thumb = QImage::fromData(reinterpret_cast<const uchar*>(reply.body.data()), int(reply.body.size()));
    ASSERT_EQ(thumb.size(), QSize(175, 175));
    // A portrait print is centred horizontally: black at the sides, red in the middle.
    EXPECT_GT(qRed(thumb.pixel(87, 87)), 200);
    EXPECT_LT(qRed(thumb.pixel(5, 87)), 40);
    EXPECT_LT(qRed(thumb.pixel(170, 87)), 40);
    EXPECT_GT(qRed(thumb.pixel(87, 2)), 200);

    auto onDisk = base::readFile(prints + "/thumb/IMG_0042.jpg");
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(*onDisk, reply.body);
    EXPECT_EQ(get("/thumb/IMG_0042.jpg").body, reply.body);
    EXPECT_EQ(server->thumbnails().madeCount(), 1);

    // Any URI with "thumb" in it asks for a thumbnail.
    ASSERT_TRUE(writeJpeg(prints + "/mythumbnail.jpg", 800, 400));
    auto odd = get("/mythumbnail.jpg");
    QImage oddThumb = QImage::fromData(reinterpret_cast<const uchar*>(odd.body.data()), int(odd.body.size()));
    EXPECT_EQ(oddThumb.size(), QSize(175, 175));
}

TEST_F(GalleryServer, AnswersMissingPicturesEmptyAndEverythingElseNotFound) {
    start();
    auto missing = get("/IMG_0042.JPG");
    EXPECT_EQ(missing.status, 200);
    EXPECT_EQ(missing.body, "");
    EXPECT_EQ(missing.header("Content-Type").value_or(""), "image/jpg");
    auto missingThumb = get("/thumb/IMG_0099.jpg");
    EXPECT_EQ(missingThumb.status, 200);
    EXPECT_EQ(missingThumb.body, "");
    EXPECT_EQ(get("/photo.png").status, 404);
    EXPECT_EQ(get("/").status, 404);
    EXPECT_EQ(get("/IMG_0042.jpeg").status, 404);

    // A file that is not an image gets no thumbnail.
    std::ofstream(prints + "/broken.jpg") << "not a jpeg";
    EXPECT_EQ(get("/thumb/broken.jpg").status, 404);
    EXPECT_FALSE(fs::exists(prints + "/thumb/broken.jpg"));
}

TEST_F(GalleryServer, ServesOnlyPlainNamesInsideThePrintsFolder) {
    std::ofstream(dir.path() + "/secret.jpg") << "secret";
    ASSERT_TRUE(writeJpeg(dir.path() + "/outside.jpg", 50, 50));
    fs::create_symlink(dir.path() + "/secret.jpg", prints + "/link.jpg");
    start();
    for (const char* target : {"/..%2Fsecret.jpg", "/%2e%2e%2fsecret.jpg", "/thumb/..%2F..%2Foutside.jpg",
                               "/thumb/%2E%2E%2Foutside.jpg", "/.hidden.jpg", "/a%5Csecret.jpg", "/a%00.jpg",
                               "/bad%zz.jpg", "/%FF.jpg", "/link.jpg", "/thumb/link.jpg"}) {
        auto reply = get(target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body.find("secret"), std::string::npos) << target;
    }
    EXPECT_FALSE(fs::exists(prints + "/thumb")) << "a refused request writes nothing";
    EXPECT_FALSE(fs::exists(dir.path() + "/thumb"));

    // A name with escaped blanks and UTF-8 is a plain name.
    std::ofstream(prints + "/Zoë party.jpg") << "bytes";
    EXPECT_EQ(get("/Zo%C3%AB%20party.jpg").body, "bytes");
}

// Links inside the prints folder that lead out of it, to a folder beside it
// whose name merely starts with the prints folder's, or from the thumbnail
// folder to anywhere outside, are never followed.
TEST_F(GalleryServer, LinksLeadingOutOfThePrintsFolderAreNotServed) {
    const std::string sibling = prints + "-other";
    fs::create_directories(sibling);
    ASSERT_TRUE(writeJpeg(sibling + "/party.jpg", 60, 40));
    fs::create_symlink("../prints-other/party.jpg", prints + "/party.jpg");
    ASSERT_TRUE(writeJpeg(dir.path() + "/private.jpg", 80, 80));
    const std::string privateBytes = *base::readFile(dir.path() + "/private.jpg");
    ASSERT_TRUE(writeJpeg(prints + "/IMG_0001.jpg", 300, 200));
    fs::create_directories(prints + "/thumb");
    fs::create_symlink(dir.path() + "/private.jpg", prints + "/thumb/IMG_0001.jpg");
    const std::string siblingBytes = *base::readFile(sibling + "/party.jpg");
    start();

    for (const char* target : {"/party.jpg", "/thumb/party.jpg", "/thumb/IMG_0001.jpg"}) {
        auto reply = get(target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_NE(reply.body, privateBytes) << target;
        EXPECT_NE(reply.body, siblingBytes) << target;
    }
    EXPECT_EQ(*base::readFile(dir.path() + "/private.jpg"), privateBytes) << "nothing written through the link";
    EXPECT_EQ(*base::readFile(sibling + "/party.jpg"), siblingBytes);
    EXPECT_FALSE(fs::exists(sibling + "/thumb"));
    // The print itself is still served.
    EXPECT_EQ(get("/IMG_0001.jpg").body, *base::readFile(prints + "/IMG_0001.jpg"));
}

TEST_F(GalleryServer, StreamsLargePrintsAndAnswersHeadWithoutABody) {
    std::string big(5 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + (i >> 12));
    ASSERT_TRUE(base::writeFileAtomically(prints + "/BIG.jpg", big));
    start();
    auto reply = get("/BIG.jpg");
    ASSERT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.body == big);
    auto head = get("/BIG.jpg", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("Content-Length").value_or(""), std::to_string(big.size()));
    // Clients that hang up mid-download leave the server (and this process) running.
    for (int i = 0; i < 20; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(server->port()));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        std::string request = "GET /BIG.jpg HTTP/1.1\r\n\r\n";
        ::send(fd, request.data(), request.size(), 0);
        char some[1024];
        ::recv(fd, some, sizeof some, 0);
        ::close(fd);
    }
    EXPECT_EQ(get("/BIG.jpg").body.size(), big.size());
    // Every method is answered alike.
    EXPECT_EQ(get("/BIG.jpg", "DELETE").body.size(), big.size());
    EXPECT_TRUE(fs::exists(prints + "/BIG.jpg"));
}

TEST_F(GalleryServer, ConcurrentRequestsForOneMissingThumbnailMakeItOnce) {
    ASSERT_TRUE(writeJpeg(prints + "/IMG_0007.jpg", 4000, 3000));
    start();
    std::vector<std::future<base::HttpResponse>> replies;
    for (int i = 0; i < 12; ++i)
        replies.push_back(std::async(std::launch::async, [this] { return get("/thumb/IMG_0007.jpg"); }));
    std::string first;
    for (auto& f : replies) {
        auto reply = f.get();
        ASSERT_EQ(reply.status, 200);
        ASSERT_FALSE(reply.body.empty());
        if (first.empty()) first = reply.body;
        EXPECT_TRUE(reply.body == first);
    }
    EXPECT_EQ(server->thumbnails().madeCount(), 1);
    for (const auto& entry : fs::directory_iterator(prints + "/thumb"))
        EXPECT_EQ(entry.path().filename(), "IMG_0007.jpg") << "no temporary file is left behind";
}

TEST_F(GalleryServer, KeepsConnectionsAliveRefusesOversizedHeadersAndClosesOnStop) {
    start();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(server->port()));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::string two = "GET /x.png HTTP/1.1\r\nHost: a\r\n\r\nPOST /list HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    ASSERT_EQ(::send(fd, two.data(), two.size(), 0), ssize_t(two.size()));
    std::string got;
    char buf[4096];
    while (got.find("\"Items\"") == std::string::npos) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.append(buf, size_t(n));
    }
    EXPECT_EQ(got.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_NE(got.find("HTTP/1.1 200 OK\r\n"), std::string::npos);

    std::string huge = "GET /list HTTP/1.1\r\nX-Filler: " + std::string(20000, 'a') + "\r\n\r\n";
    ::send(fd, huge.data(), huge.size(), MSG_NOSIGNAL);
    got.clear();
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, size_t(n));
    EXPECT_EQ(got.rfind("HTTP/1.1 431", 0), 0u) << got.substr(0, 40);
    ::close(fd);

    // An idle client does not hold up stopping.
    int idle = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const auto connected = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server->openConnections() == 0 && std::chrono::steady_clock::now() < connected)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(server->openConnections(), 1u);
    server->stop();
    EXPECT_EQ(server->openConnections(), 0u);
    EXPECT_EQ(::recv(idle, buf, sizeof buf, 0), 0);
    ::close(idle);
}

std::vector<std::string> fileNames(const nlohmann::json& list) {
    std::vector<std::string> names;
    for (const auto& item : list["Items"]) names.push_back(item["FileName"]);
    return names;
}

TEST_F(GalleryServer, EchoingADateCreatedListsExactlyThePrintsSinceThenInAnyTimeZone) {
    start();
    const char* zones[] = {"XST-5:30", "YST8", "CET-1CEST,M3.5.0,M10.5.0/3"};
    const char* previous = std::getenv("TZ");
    const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
    for (int z = 0; z < 3; ++z) {
        ::setenv("TZ", zones[z], 1);
        ::tzset();
        MyHTTPConnection::clearListCache();
        const std::string folder = prints + "/zone" + std::to_string(z);
        fs::create_directories(folder);
        UserDefaults::standard().set("PHOTO_FOLDER_PATH", folder);
        std::vector<std::string> made;
        for (int i = 1; i <= 4; ++i) {
            made.push_back("IMG_000" + std::to_string(i) + ".jpg");
            ASSERT_TRUE(writeJpeg(folder + "/" + made.back(), 20, 20));
            // Distinct milliseconds, so each print has a moment of its own.
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
        auto all = nlohmann::json::parse(get("/list").body);
        ASSERT_EQ(fileNames(all), made) << zones[z];
        for (size_t k = 0; k < made.size(); ++k) {
            std::string since = all["Items"][k]["DateCreated"];
            auto listed = fileNames(nlohmann::json::parse(get("/list?start_time=" + since).body));
            EXPECT_EQ(listed, std::vector<std::string>(made.begin() + long(k), made.end()))
                << zones[z] << " since " << since;
        }
    }
    if (saved) ::setenv("TZ", saved->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
    MyHTTPConnection::clearListCache();
}

TEST_F(GalleryServer, EveryListedPrintCanBeFetchedAndNamesThatCannotBeAreNotListed) {
    std::ofstream(prints + "/a..b.jpg") << "dots";
    std::ofstream(prints + "/..c.jpg") << "hidden";
    std::ofstream(prints + "/Zoë.jpg") << "utf8";
    std::ofstream(prints + "/bad\xff\xfe.jpg") << "latin";
    start();
    auto list = nlohmann::json::parse(get("/list").body);
    auto names = fileNames(list);
    EXPECT_EQ(names, (std::vector<std::string>{"Zoë.jpg", "a..b.jpg"}));
    for (const auto& name : names) {
        std::string escaped;
        for (unsigned char c : name) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            escaped += std::isalnum(c) || c == '.' ? std::string(1, char(c)) : std::string(hex);
        }
        auto reply = get("/" + escaped);
        EXPECT_EQ(reply.status, 200) << name;
        EXPECT_FALSE(reply.body.empty()) << name;
    }
    EXPECT_EQ(get("/a..b.jpg").body, "dots");
    EXPECT_EQ(get("/..%2Fa..b.jpg").status, 404);
    EXPECT_EQ(get("/%2E%2E").status, 404);
}

TEST_F(GalleryServer, PollingTheListLogsNothingAtTheDefaultLevel) {
    std::ofstream(prints + "/IMG_first.jpg") << "x";
    start();
    get("/list");  // the first list also loads the media items
    std::ostringstream out;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
    sink->set_pattern("%l %v");
    auto previous = spdlog::default_logger();
    auto capture = std::make_shared<spdlog::logger>("capture", sink);
    capture->set_level(spdlog::level::trace);
    spdlog::set_default_logger(capture);
    for (int i = 0; i < 5; ++i) {
        // A new print each time, so that every poll lists the folder afresh.
        std::ofstream(prints + "/IMG_" + std::to_string(i) + ".jpg") << "x";
        EXPECT_EQ(get("/list").status, 200);
        std::ofstream(prints + "/IMG_" + std::to_string(i) + "b.jpg") << "x";
        EXPECT_EQ(get("/list?start_time=").status, 200);
    }
    spdlog::set_default_logger(previous);
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.rfind("trace ", 0), 0u) << "a poll logged: " << line;
}

TEST(GalleryLayers, TheGalleryIncludesNothingFromTheSharingLayer) {
    int files = 0;
    for (const auto& entry : fs::directory_iterator(FLASHWREN_SOURCE_DIR "/src/gallery")) {
        std::ifstream in(entry.path());
        ++files;
        for (std::string line; std::getline(in, line);)
            EXPECT_EQ(line.find("#include \"sharing/"), std::string::npos) << entry.path() << ": " << line;
    }
    EXPECT_GT(files, 5);
}

}  // namespace
