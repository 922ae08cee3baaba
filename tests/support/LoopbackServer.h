#pragma once
// An HTTP(S) server on 127.0.0.1 and a free port, started by a test: it
// records every request and answers from a script or a handler.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::string path;    // without the query
    std::string query;   // after "?", undecoded
    Headers headers;
    std::string body;    // de-chunked
    std::optional<std::string> header(const std::string& name) const;
    // Value of a query or form field ("a=1&b=2"), percent-decoded.
    static std::optional<std::string> field(const std::string& encoded, const std::string& name);
};

struct Reply {
    int status = 200;
    Headers headers;
    std::string body;
    int delayMs = 0;            // wait before answering (cut short by stop())
    bool dropConnection = false;  // close without answering
    int trickleMs = 0;            // pause before each byte of the body
    bool closeAfter = false;      // close once the reply is written
};

struct TlsFiles {
    std::string certFile;  // PEM chain served
    std::string keyFile;
};

class LoopbackServer {
public:
    LoopbackServer();
    explicit LoopbackServer(TlsFiles tls);
    ~LoopbackServer();

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" (https for TLS).
    std::string baseUrl() const;
    // Replies used in order, one a request; then the handler; then 200 "".
    void enqueue(Reply reply);
    void setHandler(std::function<Reply(const RecordedRequest&)> handler);
    // How connections made from now on are read: at most `bytesPerSecond`
    // (0: as fast as they come), and nothing more once `stopAfter` bytes are
    // in; with `pauseMs`, reading goes on after that long. The receive
    // buffer is kept small, so the client sees the pace.
    void setReading(std::size_t bytesPerSecond, std::size_t stopAfter = SIZE_MAX, int pauseMs = 0);
    // TLS connections made from now on wait this long before their handshake.
    void setHandshakeDelay(int ms) { handshakeDelay_ = ms; }
    // Bytes read so far over every connection, requests still coming included.
    std::size_t bytesRead() const { return bytesRead_; }
    // Connections taken and not yet ended.
    std::size_t openConnections() const { return accepted_ - ended_; }
    std::vector<RecordedRequest> requests();
    std::size_t requestCount();
    bool waitForRequests(std::size_t count, int timeoutMs = 5000);
    void stop();

private:
    void start();
    void acceptLoop();
    void serve(int fd);
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::optional<TlsFiles> tls_;
    void* sslCtx_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::mutex stopMutex_;
    std::condition_variable stopped_;  // wakes delayed replies and paced reads at the stop
    std::thread acceptThread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::thread> workers_;
    std::vector<RecordedRequest> requests_;
    std::deque<Reply> script_;
    std::function<Reply(const RecordedRequest&)> handler_;
    std::atomic<std::size_t> readRate_{0};
    std::atomic<std::size_t> readStop_{SIZE_MAX};
    std::atomic<int> readPause_{0};
    std::atomic<int> handshakeDelay_{0};
    std::atomic<std::size_t> bytesRead_{0};
    std::atomic<std::size_t> accepted_{0};
    std::atomic<std::size_t> ended_{0};
};

// Test certificates made at build time: a root, a second unrelated root, and
// a server certificate for 127.0.0.1 signed by the first.
struct TestCerts {
    static std::string dir();
    static std::string caCert() { return dir() + "/ca.pem"; }
    static std::string otherCaCert() { return dir() + "/other-ca.pem"; }
    static std::string serverCert() { return dir() + "/server.pem"; }
    static std::string serverKey() { return dir() + "/server.key"; }
};

}  // namespace testsupport
