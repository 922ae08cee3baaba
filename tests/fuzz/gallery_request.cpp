// fuzz-links: gallery
// The gallery's own request handling (routing, file names, queries, the
// list) on arbitrary request lines, without a socket: the input is a method,
// a line feed and a request target (no line feed: a GET of the whole input).
// Besides crashes it checks the one promise that matters to the booth: a
// reply never carries a file from outside the prints folder.
#include <QImage>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <spdlog/spdlog.h>

#include "core/UserDefaults.h"
#include "gallery/GalleryThumbnails.h"
#include "gallery/MyHTTPConnection.h"
#include "gallery/PostHTTPServerUtilis.h"

namespace {

std::string printsRoot;

std::string realPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    std::string out = resolved ? resolved : "";
    std::free(resolved);
    return out;
}

void setUp() {
    char base[] = "/tmp/gallery-fuzz-XXXXXX";
    if (!::mkdtemp(base)) std::abort();
    const std::string root = base;
    // Settings go to a home of the run's own, never the user's.
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
    spdlog::set_level(spdlog::level::off);

    const std::string prints = root + "/prints";
    ::mkdir(prints.c_str(), 0755);
    ::mkdir((prints + "/thumb").c_str(), 0755);
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::red);
    image.save(QString::fromStdString(prints + "/IMG_0001.jpg"), "JPG");
    image.save(QString::fromStdString(prints + "/a..b.jpg"), "JPG");
    image.save(QString::fromStdString(prints + "/thumb/IMG_0001.jpg"), "JPG");
    std::ofstream(prints + "/broken.jpg") << "not a picture";
    std::ofstream(root + "/secret.jpg") << "secret";
    ::symlink((root + "/secret.jpg").c_str(), (prints + "/link.jpg").c_str());
    ::symlink((root + "/secret.jpg").c_str(), (prints + "/thumb/out.jpg").c_str());
    UserDefaults::standard().set("PHOTO_FOLDER_PATH", prints);
    printsRoot = realPath(prints);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (setUp(), true);
    (void)ready;
    if (size > 4096) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string method = "GET";
    std::string uri = input;
    if (auto newline = input.find('\n'); newline != std::string::npos) {
        method = input.substr(0, newline);
        uri = input.substr(newline + 1);
    }
    static GalleryThumbnails thumbnails;
    auto reply = MyHTTPConnection::httpResponseForMethod(method, uri, thumbnails);
    PostHTTPServerUtilis::parseHTTPURLParamsFromString(uri);
    if (auto decoded = PostHTTPServerUtilis::percentDecode(uri)) MyHTTPConnection::isPlainFileName(*decoded);
    if (!reply) return 0;
    if (reply->fileDescriptor() >= 0) {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", reply->fileDescriptor());
        std::string served = realPath(link);
        if (served.compare(0, printsRoot.size() + 1, printsRoot + "/") != 0) {
            std::fprintf(stderr, "served %s for %s\n", served.c_str(), uri.c_str());
            std::abort();
        }
    }
    if (reply->status() == 200 && reply->httpHeaders().count("Content-Type") == 0) std::abort();
    return 0;
}
