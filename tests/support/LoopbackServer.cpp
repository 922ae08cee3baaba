#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>

namespace testsupport {

namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string decode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') out.push_back(' ');
        else if (s[i] == '%' && i + 2 < s.size()) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else out.push_back(s[i]);
    }
    return out;
}

// A byte stream over a plain socket or a TLS session.
struct Stream {
    int fd;
    const std::atomic<bool>* stopping;
    std::mutex* stopMutex = nullptr;
    std::condition_variable* stopped = nullptr;
    SSL* ssl = nullptr;
    std::string buffer;
    std::size_t rate = 0;             // bytes a second; 0: no limit
    std::size_t stopAfter = SIZE_MAX;
    std::size_t pauseAt = SIZE_MAX;
    std::chrono::milliseconds pauseFor{0};
    std::size_t taken = 0;
    std::atomic<std::size_t>* total = nullptr;
    std::chrono::steady_clock::time_point started{};
    // Waits until `until` unless the server stops first; false when it stopped.
    bool pauseUntil(std::chrono::steady_clock::time_point until) {
        std::unique_lock lock(*stopMutex);
        return !stopped->wait_until(lock, until, [&] { return stopping->load(); });
    }
    bool pause(std::chrono::milliseconds span) { return pauseUntil(std::chrono::steady_clock::now() + span); }
    // How many bytes the next read may take under the reading limits; 0
    // once they are all taken (the connection is then left unread until the
    // client gives up or the server stops).
    std::size_t allowance(std::size_t most) {
        if (taken >= stopAfter) {
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!stopping->load() && std::chrono::steady_clock::now() < giveUp) {
                pollfd p{fd, POLLRDHUP, 0};
                if (::poll(&p, 1, 50) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
            }
            return 0;
        }
        most = std::min(most, stopAfter - taken);
        if (taken >= pauseAt) {
            pauseAt = SIZE_MAX;
            if (!pause(pauseFor)) return 0;
        }
        if (pauseAt != SIZE_MAX) most = std::min(most, pauseAt - taken);
        if (rate == 0) return most;
        if (started == std::chrono::steady_clock::time_point{}) started = std::chrono::steady_clock::now();
        for (;;) {
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const auto due = static_cast<std::size_t>(rate * elapsed) + rate / 20 + 1;
            if (due > taken) return std::min(most, due - taken);
            // Until the next byte is due at this rate.
            const double next = static_cast<double>(taken + 1 - (rate / 20 + 1)) / static_cast<double>(rate);
            if (!pauseUntil(started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                          std::chrono::duration<double>(next))))
                return 0;
        }
    }
    // Up to 10 s for the next bytes, looked at in short slices so that a
    // kept-alive connection the client leaves idle lets the server stop at
    // once; bytes already on their way are still read after the stop.
    bool waitForBytes() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, 50);
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) return false;
            if (stopping->load() || std::chrono::steady_clock::now() >= deadline) return false;
        }
    }
    bool fill() {
        if (!ssl || SSL_pending(ssl) == 0) {
            if (!waitForBytes()) return false;
        }
        char tmp[16384];
        const std::size_t want = allowance(sizeof tmp);
        if (want == 0) return false;
        int n = ssl ? SSL_read(ssl, tmp, static_cast<int>(want)) : static_cast<int>(::recv(fd, tmp, want, 0));
        if (n <= 0) return false;
        taken += static_cast<size_t>(n);
        if (total) *total += static_cast<size_t>(n);
        buffer.append(tmp, static_cast<size_t>(n));
        return true;
    }
    bool readLine(std::string& line) {
        for (;;) {
            auto pos = buffer.find("\r\n");
            if (pos != std::string::npos) {
                line = buffer.substr(0, pos);
                buffer.erase(0, pos + 2);
                return true;
            }
            if (!fill()) return false;
        }
    }
    bool readExactly(size_t n, std::string& out) {
        while (buffer.size() < n)
            if (!fill()) return false;
        out.append(buffer, 0, n);
        buffer.erase(0, n);
        return true;
    }
    void write(const std::string& data) {
        size_t off = 0;
        while (off < data.size()) {
            int n = ssl ? SSL_write(ssl, data.data() + off, static_cast<int>(data.size() - off))
                        : static_cast<int>(::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL));
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }
};

const char* reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (auto& [k, v] : headers)
        if (lower(k) == lower(name)) return v;
    return std::nullopt;
}

std::optional<std::string> RecordedRequest::field(const std::string& encoded, const std::string& name) {
    size_t start = 0;
    while (start <= encoded.size()) {
        size_t end = encoded.find('&', start);
        if (end == std::string::npos) end = encoded.size();
        std::string pair = encoded.substr(start, end - start);
        auto eq = pair.find('=');
        std::string k = decode(pair.substr(0, eq));
        if (k == name) return eq == std::string::npos ? std::string() : decode(pair.substr(eq + 1));
        start = end + 1;
    }
    return std::nullopt;
}

LoopbackServer::LoopbackServer() { start(); }

LoopbackServer::LoopbackServer(TlsFiles tls) : tls_(std::move(tls)) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_chain_file(ctx, tls_->certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, tls_->keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("test server: cannot load " + tls_->certFile);
    }
    sslCtx_ = ctx;
    start();
}

LoopbackServer::~LoopbackServer() {
    stop();
    if (sslCtx_) SSL_CTX_free(static_cast<SSL_CTX*>(sslCtx_));
}

void LoopbackServer::start() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 64) != 0)
        throw std::runtime_error("test server: cannot listen on 127.0.0.1");
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

std::string LoopbackServer::baseUrl() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void LoopbackServer::enqueue(Reply reply) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(reply));
}

void LoopbackServer::setReading(std::size_t bytesPerSecond, std::size_t stopAfter) {
    readRate_ = bytesPerSecond;
    readStop_ = stopAfter;
    // Accepted connections take the listening socket's buffer size.
    int size = bytesPerSecond == 0 && stopAfter == SIZE_MAX ? 0 : 8192;
    if (size > 0) ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

void LoopbackServer::setReadingPause(std::size_t after, std::chrono::milliseconds span) {
    pauseAt_ = after;
    pauseFor_ = span.count();
    int size = 8192;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

void LoopbackServer::setHandler(std::function<Reply(const RecordedRequest&)> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<RecordedRequest> LoopbackServer::requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t LoopbackServer::requestCount() {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool LoopbackServer::waitForRequests(std::size_t count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

void LoopbackServer::stop() {
    {
        // Under the lock, so that a pausing connection cannot miss the stop
        // between its look at the flag and its wait.
        std::lock_guard lock(stopMutex_);
        if (stopping_.exchange(true)) return;
    }
    stopped_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);
    ::close(listenFd_);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& t : workers) t.join();
}

void LoopbackServer::acceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void LoopbackServer::serve(int fd) {
    Stream s{fd, &stopping_, &stopMutex_, &stopped_};
    s.rate = readRate_;
    s.stopAfter = readStop_;
    s.pauseAt = pauseAt_;
    s.pauseFor = std::chrono::milliseconds(pauseFor_.load());
    s.total = &bytesRead_;
    if (sslCtx_) {
        s.ssl = SSL_new(static_cast<SSL_CTX*>(sslCtx_));
        SSL_set_fd(s.ssl, fd);
        if (SSL_accept(s.ssl) != 1) {
            SSL_free(s.ssl);
            ::close(fd);
            return;
        }
    }
    // Several requests may come over one connection.
    for (;;) {
        RecordedRequest req;
        std::string line;
        if (!s.readLine(line) || line.empty()) break;
        auto sp1 = line.find(' '), sp2 = line.rfind(' ');
        if (sp1 == std::string::npos || sp2 == sp1) break;
        req.method = line.substr(0, sp1);
        req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        auto q = req.target.find('?');
        req.path = req.target.substr(0, q);
        if (q != std::string::npos) req.query = req.target.substr(q + 1);
        bool ok = true;
        while ((ok = s.readLine(line)) && !line.empty()) {
            auto colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string v = line.substr(colon + 1);
            while (!v.empty() && v.front() == ' ') v.erase(0, 1);
            req.headers.emplace_back(line.substr(0, colon), v);
        }
        if (!ok) break;
        if (auto expect = req.header("Expect"); expect && lower(*expect) == "100-continue")
            s.write("HTTP/1.1 100 Continue\r\n\r\n");
        if (auto te = req.header("Transfer-Encoding"); te && lower(*te).find("chunked") != std::string::npos) {
            for (;;) {
                if (!s.readLine(line)) { ok = false; break; }
                size_t size = std::stoul(line, nullptr, 16);
                if (size == 0) {
                    while (s.readLine(line) && !line.empty()) {}
                    break;
                }
                if (!s.readExactly(size, req.body) || !s.readLine(line)) { ok = false; break; }
            }
        } else if (auto cl = req.header("Content-Length")) {
            ok = s.readExactly(std::stoul(*cl), req.body);
        }
        if (!ok) break;

        Reply reply;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(req);
            if (!script_.empty()) {
                reply = std::move(script_.front());
                script_.pop_front();
            } else if (handler_) {
                auto h = handler_;
                mutex_.unlock();
                reply = h(req);
                mutex_.lock();
            }
        }
        cv_.notify_all();
        if (reply.delayMs > 0 && !s.pause(std::chrono::milliseconds(reply.delayMs))) break;
        if (reply.dropConnection) break;
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
        bool hasLength = false, hasType = false;
        for (auto& [k, v] : reply.headers) {
            out += k + ": " + v + "\r\n";
            hasLength |= lower(k) == "content-length";
            hasType |= lower(k) == "content-type";
        }
        if (!hasLength) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
        if (!hasType) out += "Content-Type: text/plain\r\n";
        out += "\r\n";
        if (req.method != "HEAD") out += reply.body;
        s.write(out);
        auto conn = req.header("Connection");
        if (conn && lower(*conn) == "close") break;
        if (stopping_) break;
    }
    if (s.ssl) {
        SSL_shutdown(s.ssl);
        SSL_free(s.ssl);
    }
    ::close(fd);
}

std::string TestCerts::dir() { return FLASHWREN_TEST_CERTS_DIR; }

}  // namespace testsupport
