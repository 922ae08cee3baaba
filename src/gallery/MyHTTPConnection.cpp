#include "gallery/MyHTTPConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <map>
#include <mutex>
#include <optional>
#include <cstdlib>

#include <spdlog/spdlog.h>

#include "core/UserDefaults.h"
#include "gallery/GalleryThumbnails.h"
#include "gallery/PostHTTPServerUtilis.h"

namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

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

const char* reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

bool sendAll(int fd, const char* data, size_t size, int flags = 0) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

std::unique_ptr<MyHTTPDataResponse> pictureResponse(std::unique_ptr<MyHTTPDataResponse> response) {
    response->addHttpResponseHeader("Content-Type", "image/jpg");
    return response;
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
// has just been registered shows its address within a second.
class ListCache {
public:
    std::optional<std::string> get(const std::string& key, std::int64_t folderStamp) {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(key);
        if (it == entries_.end() || it->second.folderStamp != folderStamp ||
            std::chrono::steady_clock::now() - it->second.made > std::chrono::seconds(1))
            return std::nullopt;
        return it->second.body;
    }
    void put(const std::string& key, std::int64_t folderStamp, std::string body) {
        std::lock_guard lock(mutex_);
        if (entries_.size() >= 32) entries_.clear();
        entries_[key] = {folderStamp, std::chrono::steady_clock::now(), std::move(body)};
    }

private:
    struct Entry {
        std::int64_t folderStamp;
        std::chrono::steady_clock::time_point made;
        std::string body;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

std::int64_t folderStamp(const std::string& folder) {
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0) return -1;
    return std::int64_t(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

std::unique_ptr<MyHTTPDataResponse> listResponse(const std::string& uri) {
    static ListCache cache;
    const std::string folder = PostHTTPServerUtilis::printsFolder();
    const std::string album = PostHTTPServerUtilis::stringSetting("ALBUM_NAME");
    const auto query = uri.find('?');
    const std::string key = folder + '\n' + album + '\n' + (query == std::string::npos ? "" : uri.substr(query));
    const std::int64_t stamp = folderStamp(folder);
    std::optional<std::string> body = cache.get(key, stamp);
    if (!body) {
        try {
            body = renderList(uri, folder, album);
        } catch (const std::exception& e) {
            spdlog::error("MyHTTPConnection: error here is {}", e.what());
            return nullptr;
        }
        cache.put(key, stamp, *body);
    }
    auto response = std::make_unique<MyHTTPDataResponse>(std::move(*body));
    response->addHttpResponseHeader("Content-Type", "application/json");
    response->addHttpResponseHeader("charset", "utf-8");
    return response;
}

}  // namespace

bool MyHTTPConnection::isPlainFileName(const std::string& name) {
    if (name.empty() || name[0] == '.') return false;
    if (name.find_first_of(std::string("/\\\0", 3)) != std::string::npos) return false;
    return name.find("..") == std::string::npos;
}

std::unique_ptr<MyHTTPDataResponse> MyHTTPConnection::httpResponseForMethod(
    const std::string& /*method*/, const std::string& uri, GalleryThumbnails& thumbnails) {
    if (uri.rfind("/list", 0) == 0) return listResponse(uri);

    const std::string path = uri.substr(0, uri.find('?'));
    if (!endsWith(path, ".jpg") && !endsWith(path, ".JPG")) return nullptr;
    auto decoded = PostHTTPServerUtilis::percentDecode(path.substr(path.rfind('/') + 1));
    if (!decoded || !isPlainFileName(*decoded)) return nullptr;
    const std::string& name = *decoded;
    const std::string prints = PostHTTPServerUtilis::printsFolder();
    if (prints.empty()) return nullptr;

    if (path.find("thumb") == std::string::npos) {
        const std::string file = prints + "/" + name;
        if (!staysInside(file, prints)) return nullptr;
        int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st{};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0) ::close(fd);
            return pictureResponse(std::make_unique<MyHTTPDataResponse>());
        }
        return pictureResponse(MyHTTPDataResponse::withFile(fd, std::uint64_t(st.st_size)));
    }

    if (!staysInside(prints + "/thumb/" + name, prints) || !staysInside(prints + "/" + name, prints))
        return nullptr;
    auto result = thumbnails.thumbnail(prints, name);
    switch (result.kind) {
    case GalleryThumbnails::Result::File: {
        int fd = ::open(result.path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st{};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            if (fd >= 0) ::close(fd);
            return pictureResponse(std::make_unique<MyHTTPDataResponse>());
        }
        return pictureResponse(MyHTTPDataResponse::withFile(fd, std::uint64_t(st.st_size)));
    }
    case GalleryThumbnails::Result::Data:
        return pictureResponse(std::make_unique<MyHTTPDataResponse>(std::move(result.data)));
    case GalleryThumbnails::Result::Empty:
        return pictureResponse(std::make_unique<MyHTTPDataResponse>());
    case GalleryThumbnails::Result::None:
        break;
    }
    return nullptr;
}

MyHTTPConnection::MyHTTPConnection(int fd, GalleryThumbnails& thumbnails) : fd_(fd), thumbnails_(thumbnails) {}


bool MyHTTPConnection::readMore(std::string& buffer) {
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, kIdleTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    char chunk[8192];
    ssize_t n;
    do {
        n = ::recv(fd_, chunk, sizeof chunk, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    buffer.append(chunk, size_t(n));
    return true;
}

bool MyHTTPConnection::sendResponse(int fd, const MyHTTPDataResponse& response, bool headOnly, bool keepAlive) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status()) + " " + reason(response.status()) + "\r\n";
    for (const auto& [name, value] : response.httpHeaders()) head += name + ": " + value + "\r\n";
    head += "Content-Length: " + std::to_string(response.contentLength()) + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";

    if (headOnly || response.contentLength() == 0) return sendAll(fd, head.data(), head.size());
    if (response.fileDescriptor() < 0) {
        // One write for head and body, so that a small reply leaves in one segment.
        iovec parts[2] = {{head.data(), head.size()},
                          {const_cast<char*>(response.data().data()), response.data().size()}};
        size_t total = head.size() + response.data().size();
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = 2;
        ssize_t n;
        do {
            n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return false;
        if (size_t(n) == total) return true;
        size_t sent = size_t(n);
        if (sent < head.size()) {
            if (!sendAll(fd, head.data() + sent, head.size() - sent)) return false;
            sent = head.size();
        }
        size_t bodyOffset = sent - head.size();
        return sendAll(fd, response.data().data() + bodyOffset, response.data().size() - bodyOffset);
    }
    if (!sendAll(fd, head.data(), head.size(), MSG_MORE)) return false;
    off_t offset = 0;
    std::uint64_t remaining = response.contentLength();
    while (remaining > 0) {
        ssize_t n = ::sendfile(fd, response.fileDescriptor(), &offset, std::min<std::uint64_t>(remaining, 1 << 20));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // the file shrank or the client went away
        remaining -= std::uint64_t(n);
    }
    return true;
}

void MyHTTPConnection::run() {
    timeval sendTimeout{30, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    std::string buffer;
    for (;;) {
        size_t headerEnd;
        while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (buffer.size() > kMaxHeaderBytes) {
                sendResponse(fd_, MyHTTPDataResponse({}, 431), false, false);
                return;
            }
            if (!readMore(buffer)) return;
        }
        if (headerEnd > kMaxHeaderBytes) {
            sendResponse(fd_, MyHTTPDataResponse({}, 431), false, false);
            return;
        }
        std::string head = buffer.substr(0, headerEnd);
        buffer.erase(0, headerEnd + 4);

        size_t lineEnd = head.find("\r\n");
        std::string requestLine = head.substr(0, lineEnd);
        size_t sp1 = requestLine.find(' ');
        size_t sp2 = sp1 == std::string::npos ? sp1 : requestLine.find(' ', sp1 + 1);
        if (sp1 == std::string::npos || sp2 == std::string::npos) {
            sendResponse(fd_, MyHTTPDataResponse({}, 400), false, false);
            return;
        }
        std::string method = requestLine.substr(0, sp1);
        std::string target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        std::string version = requestLine.substr(sp2 + 1);
        if (target.empty() || version.rfind("HTTP/1.", 0) != 0) {
            sendResponse(fd_, MyHTTPDataResponse({}, 400), false, false);
            return;
        }

        bool keepAlive = version != "HTTP/1.0";
        long long contentLength = 0;
        bool chunked = false;
        size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (pos < head.size()) {
            size_t end = head.find("\r\n", pos);
            if (end == std::string::npos) end = head.size();
            std::string line = head.substr(pos, end - pos);
            pos = end + 2;
            size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string name = lower(trim(line.substr(0, colon)));
            std::string value = trim(line.substr(colon + 1));
            if (name == "connection") {
                std::string v = lower(value);
                if (v.find("close") != std::string::npos) keepAlive = false;
                else if (v.find("keep-alive") != std::string::npos) keepAlive = true;
            } else if (name == "content-length") {
                char* endp = nullptr;
                contentLength = std::strtoll(value.c_str(), &endp, 10);
                if (endp == value.c_str() || *endp || contentLength < 0) contentLength = LLONG_MAX;
            } else if (name == "transfer-encoding") {
                chunked = true;
            }
        }
        // Requests carry no body the gallery reads: a small one is skipped, a
        // large or chunked one ends the connection after the reply.
        if (chunked || contentLength > static_cast<long long>(kMaxDiscardedBody)) {
            keepAlive = false;
        } else {
            while (buffer.size() < size_t(contentLength))
                if (!readMore(buffer)) return;
            buffer.erase(0, size_t(contentLength));
        }

        std::unique_ptr<MyHTTPDataResponse> response;
        try {
            response = httpResponseForMethod(method, target, thumbnails_);
        } catch (const std::exception& e) {
            spdlog::error("MyHTTPConnection: request failed: {}", e.what());
        }
        if (!response) response = std::make_unique<MyHTTPDataResponse>(std::string(), 404);
        if (!sendResponse(fd_, *response, method == "HEAD", keepAlive) || !keepAlive) return;
    }
}
