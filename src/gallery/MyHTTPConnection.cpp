#include "gallery/MyHTTPConnection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <optional>

#include <spdlog/spdlog.h>

#include "gallery/GalleryThumbnails.h"
#include "gallery/PostHTTPServerUtilis.h"

namespace {

bool endsWith(const std::string& text, const char* suffix) {
    size_t n = std::char_traits<char>::length(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

std::string realPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return {};
    std::string out(resolved);
    std::free(resolved);
    return out;
}

// True when `path` does not exist or resolves to somewhere inside `folder`.
bool staysInside(const std::string& path, const std::string& folder) {
    std::string resolved = realPath(path);
    if (resolved.empty()) return errno == ENOENT;
    std::string root = realPath(folder);
    if (root.empty()) return false;
    return resolved.size() > root.size() + 1 && resolved.compare(0, root.size(), root) == 0 &&
           resolved[root.size()] == '/';
}

std::unique_ptr<MyHTTPDataResponse> picture(std::unique_ptr<MyHTTPDataResponse> response) {
    response->addHttpResponseHeader("Content-Type", "image/jpg");
    return response;
}

std::unique_ptr<MyHTTPDataResponse> emptyPicture() { return picture(std::make_unique<MyHTTPDataResponse>()); }

// The open regular file as a reply, or null.
std::unique_ptr<MyHTTPDataResponse> fileReply(int fd) {
    struct stat st{};
    if (fd < 0) return nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return picture(MyHTTPDataResponse::withFile(fd, std::uint64_t(st.st_size)));
}

// Opens a file of the prints folder without following a symbolic link as its
// last step (no path resolution on the common path). A link is followed only
// when it resolves inside the folder. -1 with errno set otherwise; EACCES
// for a link that leads out.
int openInside(const std::string& path, const std::string& folder) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ELOOP) return fd;
    if (!staysInside(path, folder)) {
        errno = EACCES;
        return -1;
    }
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

std::string renderList(const std::string& uri, const std::string& folder, const std::string& album) {
    auto params = PostHTTPServerUtilis::parseHTTPURLParamsFromString(uri);
    std::optional<PostHTTPServerUtilis::TimePoint> since;
    if (auto it = params.find("start_time"); it != params.end())
        since = PostHTTPServerUtilis::parseStartTime(it->second);

    auto items = PostHTTPServerUtilis::getListOfImagesAfterDate(since, folder);
    nlohmann::ordered_json reply;
    reply["EventName"] = album.empty() ? std::string("Photos") : album;
    reply["Items"] = items ? std::move(*items) : nlohmann::ordered_json::array();
    return reply.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Phones poll the list; a rendered list is reused while the folder is
// unchanged (its modification time) for at most a second, so a print that
// has just been registered shows its address within a second. One render
// per list at a time: the others wait for its result.
class ListCache {
public:
    using Body = std::shared_ptr<const std::string>;

    Body get(const std::string& key, std::int64_t folderStamp) {
        std::lock_guard lock(mutex_);
        return fresh(key, folderStamp);
    }

    Body render(const std::string& key, std::int64_t folderStamp, const std::function<std::string()>& make) {
        std::shared_future<Body> waitFor;
        std::promise<Body> promise;
        {
            std::lock_guard lock(mutex_);
            if (Body body = fresh(key, folderStamp)) return body;
            auto it = inflight_.find(key);
            if (it != inflight_.end() && it->second.first == folderStamp) {
                waitFor = it->second.second;
            } else {
                inflight_[key] = {folderStamp, promise.get_future().share()};
            }
        }
        if (waitFor.valid()) return waitFor.get();
        Body body;
        try {
            body = std::make_shared<const std::string>(make());
        } catch (const std::exception& e) {
            spdlog::error("MyHTTPConnection: error here is {}", e.what());
        }
        promise.set_value(body);
        std::lock_guard lock(mutex_);
        auto it = inflight_.find(key);
        if (it != inflight_.end() && it->second.first == folderStamp) inflight_.erase(it);
        if (body) {
            if (entries_.size() >= 32) entries_.clear();
            entries_[key] = {folderStamp, std::chrono::steady_clock::now(), body};
        }
        return body;
    }

    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

private:
    Body fresh(const std::string& key, std::int64_t folderStamp) {
        auto it = entries_.find(key);
        if (it == entries_.end() || it->second.folderStamp != folderStamp ||
            std::chrono::steady_clock::now() - it->second.made > std::chrono::seconds(1))
            return nullptr;
        return it->second.body;
    }
    struct Entry {
        std::int64_t folderStamp;
        std::chrono::steady_clock::time_point made;
        Body body;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
    std::map<std::string, std::pair<std::int64_t, std::shared_future<Body>>> inflight_;
};

ListCache& listCache() {
    static auto* cache = new ListCache();
    return *cache;
}

std::int64_t folderStamp(const std::string& folder) {
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0) return -1;
    return std::int64_t(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

std::unique_ptr<MyHTTPDataResponse> listReply(ListCache::Body body) {
    if (!body) return nullptr;
    auto response = std::make_unique<MyHTTPDataResponse>(std::move(body));
    response->addHttpResponseHeader("Content-Type", "application/json");
    response->addHttpResponseHeader("charset", "utf-8");
    return response;
}

MyHTTPConnection::Route listRoute(const std::string& uri) {
    std::string folder = PostHTTPServerUtilis::printsFolder();
    std::string album = PostHTTPServerUtilis::stringSetting("ALBUM_NAME");
    const auto query = uri.find('?');
    std::string key = folder + '\n' + album + '\n' + (query == std::string::npos ? "" : uri.substr(query));
    const std::int64_t stamp = folderStamp(folder);
    if (auto body = listCache().get(key, stamp)) return {listReply(std::move(body)), {}};
    return {nullptr, [uri, folder = std::move(folder), album = std::move(album), key = std::move(key), stamp] {
                return listReply(listCache().render(key, stamp, [&] { return renderList(uri, folder, album); }));
            }};
}

// A thumbnail that is not on disk yet: made (or waited for) on a worker.
std::unique_ptr<MyHTTPDataResponse> makeThumbnail(const std::string& prints, const std::string& name,
                                                  GalleryThumbnails& thumbnails) {
    if (!staysInside(prints + "/thumb/" + name, prints) || !staysInside(prints + "/" + name, prints))
        return nullptr;
    auto result = thumbnails.thumbnail(prints, name);
    switch (result.kind) {
    case GalleryThumbnails::Result::File: {
        auto reply = fileReply(openInside(result.path, prints));
        return reply ? std::move(reply) : emptyPicture();
    }
    case GalleryThumbnails::Result::Data:
        return picture(std::make_unique<MyHTTPDataResponse>(std::move(result.data)));
    case GalleryThumbnails::Result::Empty:
        return emptyPicture();
    case GalleryThumbnails::Result::None:
        break;
    }
    return nullptr;
}

// Whether the folder is a directory and not a link that could lead out.
// Asked on every thumbnail request, so each network thread keeps the answer
// for a tenth of a second.
bool isRealDirectory(const std::string& path) {
    struct Answer {
        std::string path;
        std::chrono::steady_clock::time_point at;
        bool real = false;
    };
    thread_local Answer last;
    const auto now = std::chrono::steady_clock::now();
    if (last.path == path && now - last.at < std::chrono::milliseconds(100)) return last.real;
    struct stat st{};
    last = {path, now, ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)};
    return last.real;
}

}  // namespace

bool MyHTTPConnection::isPlainFileName(const std::string& name) {
    // Only a whole name can climb out of the folder ("..": every separator is
    // refused); dots inside a name ("a..b.jpg") are ordinary characters.
    // Hidden names are the booth's own temporary files and are never listed.
    if (name.empty() || name[0] == '.') return false;
    return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

void MyHTTPConnection::clearListCache() { listCache().clear(); }

MyHTTPConnection::Route MyHTTPConnection::routeRequest(const std::string& /*method*/, const std::string& uri,
                                                      GalleryThumbnails& thumbnails) {
    if (uri.rfind("/list", 0) == 0) return listRoute(uri);

    const std::string path = uri.substr(0, uri.find('?'));
    if (!endsWith(path, ".jpg") && !endsWith(path, ".JPG")) return {};
    auto decoded = PostHTTPServerUtilis::percentDecode(path.substr(path.rfind('/') + 1));
    if (!decoded || !isPlainFileName(*decoded)) return {};
    std::string name = std::move(*decoded);
    std::string prints = PostHTTPServerUtilis::printsFolder();
    if (prints.empty()) return {};

    if (path.find("thumb") == std::string::npos) {
        int fd = openInside(prints + "/" + name, prints);
        if (fd < 0 && errno == EACCES) return {};
        auto reply = fileReply(fd);
        return {reply ? std::move(reply) : emptyPicture(), {}};
    }

    // A thumbnail made before is sent from its file at once (the common case
    // under load); anything else waits for a worker.
    if (isRealDirectory(prints + "/thumb")) {
        int fd = ::open((prints + "/thumb/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (auto reply = fileReply(fd)) return {std::move(reply), {}};
    }
    return {nullptr, [prints = std::move(prints), name = std::move(name), &thumbnails] {
                return makeThumbnail(prints, name, thumbnails);
            }};
}

std::unique_ptr<MyHTTPDataResponse> MyHTTPConnection::httpResponseForMethod(
    const std::string& method, const std::string& uri, GalleryThumbnails& thumbnails) {
    Route route = routeRequest(method, uri, thumbnails);
    if (route.response) return std::move(route.response);
    if (route.work) return route.work();
    return nullptr;
}
