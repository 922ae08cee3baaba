#include "kits/trellis/BBXURLSession.h"
#include <nlohmann/json.hpp>

#include <curl/curl.h>
#include <spdlog/spdlog.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "kits/trellis/TRLSerialExecutor.h"
#include "kits/trellis/TRLUtilities.h"
#include "base/Files.h"
#include "base/CurlSetup.h"
#include "base/Text.h"

namespace {

std::atomic<std::uint64_t> gNextTaskId{1};

std::mutex gTestMutex;
std::string gDefaultTrustFile;
std::vector<std::string> gResolveOverrides;

base::Error urlError(int code, const std::string& description, const std::string& detail = {}) {
    base::Error e(kBBXURLErrorDomain, code, description);
    if (!detail.empty()) e.userInfo["TRLTransportErrorDescription"] = detail;
    return e;
}

base::Error cancelledError() { return urlError(kBBXURLErrorCancelled, "cancelled"); }

base::Error errorForCurl(CURLcode code, const char* detail) {
    std::string text = detail && *detail ? detail : curl_easy_strerror(code);
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return urlError(kBBXURLErrorTimedOut, "The request timed out.", text);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return urlError(kBBXURLErrorCannotFindHost, "A server with the specified hostname could not be found.", text);
    case CURLE_COULDNT_CONNECT: return urlError(kBBXURLErrorCannotConnectToHost, "Could not connect to the server.", text);
    case CURLE_URL_MALFORMAT: return urlError(kBBXURLErrorBadURL, "bad URL", text);
    case CURLE_UNSUPPORTED_PROTOCOL: return urlError(kBBXURLErrorUnsupportedURL, "unsupported URL", text);
    case CURLE_PEER_FAILED_VERIFICATION:
        return urlError(kBBXURLErrorServerCertificateUntrusted, "The certificate for this server is invalid.", text);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
        return urlError(kBBXURLErrorSecureConnectionFailed, "A TLS error caused the secure connection to fail.", text);
    case CURLE_READ_ERROR: return urlError(kBBXURLErrorCannotOpenFile, "The request body could not be read.", text);
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        return urlError(kBBXURLErrorNetworkConnectionLost, "The network connection was lost.", text);
    default: return urlError(kBBXURLErrorUnknown, "The request failed.", text);
    }
}

struct TRLURLParts {
    std::string scheme;
    std::string host;
    int port = 0;
};

TRLURLParts urlParts(const std::string& url) {
    TRLURLParts out;
    if (CURLU* u = curl_url()) {
        if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
            char* part = nullptr;
            if (curl_url_get(u, CURLUPART_SCHEME, &part, 0) == CURLUE_OK) out.scheme = part;
            curl_free(part);
            part = nullptr;
            if (curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK) out.host = part;
            curl_free(part);
            part = nullptr;
            if (curl_url_get(u, CURLUPART_PORT, &part, CURLU_DEFAULT_PORT) == CURLUE_OK) out.port = std::atoi(part);
            curl_free(part);
        }
        curl_url_cleanup(u);
    }
    return out;
}

// The method of a password challenge: the first scheme the header names.
const char* authenticationMethodForHeader(const std::string& header) {
    std::string scheme = base::trim(header);
    scheme = scheme.substr(0, scheme.find_first_of(" ,"));
    if (TRLHeaderNameEquals(scheme, "Basic")) return kBBXAuthenticationMethodHTTPBasic;
    if (TRLHeaderNameEquals(scheme, "Digest")) return kBBXAuthenticationMethodHTTPDigest;
    if (TRLHeaderNameEquals(scheme, "NTLM")) return kBBXAuthenticationMethodNTLM;
    if (TRLHeaderNameEquals(scheme, "Negotiate")) return kBBXAuthenticationMethodNegotiate;
    return kBBXAuthenticationMethodDefault;
}

std::string temporaryDownloadPath() {
    std::error_code ec;
    auto dir = std::filesystem::temp_directory_path(ec);
    if (ec) dir = "/tmp";
    return (dir / ("BBXURLSessionDownload-" + TRLCreateUUIDString())).string();
}

}  // namespace

// One transfer on the transport thread.
struct BBXTransfer {
    std::uint64_t id = 0;
    std::shared_ptr<BBXURLSessionTask> task;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    curl_slist* resolve = nullptr;
    FILE* upload = nullptr;
    int downloadFd = -1;
    bool downloadFailed = false;
    bool responseDelivered = false;
    long status = 0;
    TRLHeaderList received;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    // A reply asking for a password: held back (with its body) until the
    // session's delegate has answered the challenge.
    std::shared_ptr<const TRLHTTPURLResponse> challenged;
    std::string heldBody;
    long tunnelRefusal = 0;  // the proxy's status when it would not open the tunnel
    std::chrono::steady_clock::duration idleTimeout{};
    std::chrono::steady_clock::time_point lastProgress{};
    curl_off_t lastBytes = 0;
    bool timedOut = false;
    // The trust the first hop was started with, and the hops so far.
    std::shared_ptr<TRLServerTrust> trust;
    int redirects = 0;

    // An upload sends its body to where a 307 or 308 reply points, with the
    // same method, a few times at most (a server pointing back at itself
    // would otherwise take it without end): those replies ask for exactly
    // that. A hop from https to anything else is refused, as it would step
    // around the pinned trust.
    std::optional<std::string> redirectToFollow() {
        if (task->kind() != BBXURLSessionTask::Kind::Upload || redirects >= kBBXURLSessionMaxUploadRedirects)
            return std::nullopt;
        long code = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
        char* location = nullptr;
        if ((code != 307 && code != 308) || curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location) != CURLE_OK ||
            !location)
            return std::nullopt;
        const std::string next = location;
        const bool secure = task->originalRequest().url.rfind("https://", 0) == 0;
        if (next.rfind("https://", 0) != 0 && (secure || next.rfind("http://", 0) != 0)) return std::nullopt;
        return next;
    }

    ~BBXTransfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headers) curl_slist_free_all(headers);
        if (resolve) curl_slist_free_all(resolve);
        if (upload) std::fclose(upload);
        if (downloadFd >= 0) ::close(downloadFd);
    }

    void deliverResponseOnce() {
        if (responseDelivered) return;
        responseDelivered = true;
        auto response = std::make_shared<TRLHTTPURLResponse>();
        long code = tunnelRefusal;
        if (!code) curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
        response->statusCode = code;
        char* url = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url);
        response->url = url ? url : task->originalRequest().url;
        response->headers = received;
        if (code == 407) logProxyWantsPassword();
        if (task->session_->raisesChallengeForResponse(*response)) {
            challenged = std::move(response);
            return;
        }
        task->deliverResponse(std::move(response));
    }

    // A proxy that wants a password before it opens an HTTPS tunnel ends the
    // transfer in libcurl as a failed receive. Its reply is an answer all the
    // same: it goes to the delegate as a challenge, or to the caller as the
    // proxy's status, never as a lost connection. True when that happened.
    bool proxyRefusedTunnel() {
        long code = 0;
        curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &code);
        if (code != 407 || responseDelivered) return false;
        tunnelRefusal = code;
        return true;
    }

    // The SDK never offers a password: the log says why the request got no further.
    void logProxyWantsPassword() {
        char* address = nullptr;
        long port = 0;
        curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &address);
        curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &port);
        TRLURLParts target = urlParts(task->originalRequest().url);
        spdlog::warn("[Trellis] The proxy at {}:{} wants a password to reach {}:{}; none is offered",
                     address ? address : "?", port, target.host, target.port);
    }

    // Called about once a second and on every transfer: ends a transfer that
    // moved no byte for the request's timeout.
    static int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
        auto* t = static_cast<BBXTransfer*>(user);
        auto now = std::chrono::steady_clock::now();
        if (dlnow + ulnow != t->lastBytes) {
            t->lastBytes = dlnow + ulnow;
            t->lastProgress = now;
            return 0;
        }
        if (now - t->lastProgress > t->idleTimeout) {
            t->timedOut = true;
            return 1;
        }
        return 0;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<BBXTransfer*>(user);
        size_t n = size * count;
        if (t->redirectToFollow()) return n;  // the next hop answers instead
        t->deliverResponseOnce();
        if (t->task->kind() == BBXURLSessionTask::Kind::Download) {
            if (base::writeFully(t->downloadFd, data, n) != n) {
                t->downloadFailed = true;
                return 0;  // stops the transfer
            }
            return n;
        }
        if (t->challenged) t->heldBody.append(data, n);
        else t->task->deliverData(std::string(data, n));
        return n;
    }
};

// The one thread that drives every transfer through libcurl's multi interface.
class BBXTransport {
public:
    static BBXTransport& shared() {
        static BBXTransport* transport = new BBXTransport();  // lives as long as the process
        return *transport;
    }

    std::uint64_t nextId() { return nextId_++; }

    void start(std::unique_ptr<BBXTransfer> transfer) {
        {
            std::lock_guard lock(mutex_);
            adds_.push_back(std::move(transfer));
        }
        curl_multi_wakeup(multi_);
    }

    void cancel(std::uint64_t id) {
        {
            std::lock_guard lock(mutex_);
            cancels_.push_back(id);
        }
        curl_multi_wakeup(multi_);
    }

private:
    BBXTransport() {
        base::curlGlobalInit();
        multi_ = curl_multi_init();
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "url-session");
            loop();
        });
        thread_.detach();
    }

    void complete(std::unique_ptr<BBXTransfer> t, std::optional<base::Error> error) {
        curl_multi_remove_handle(multi_, t->easy);
        if (t->downloadFd >= 0) {
            if (::close(t->downloadFd) != 0 && !error)
                error = base::Error(kBBXURLSessionDownloadTaskErrorDomain, -1, "The downloaded file could not be written.");
            t->downloadFd = -1;
        }
        if (t->challenged) t->task->finishAfterChallenge(std::move(t->challenged), std::move(t->heldBody), std::move(error));
        else t->task->finish(std::move(error));
    }

    void loop() {
        pthread_setname_np(pthread_self(), "BBXURLSession");
        // A peer that closes its end must fail the write, not kill the process.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        for (;;) {
            std::vector<std::unique_ptr<BBXTransfer>> adds;
            std::vector<std::uint64_t> cancels;
            {
                std::lock_guard lock(mutex_);
                adds.swap(adds_);
                cancels.swap(cancels_);
            }
            for (auto& t : adds) {
                curl_easy_setopt(t->easy, CURLOPT_PRIVATE, t.get());
                if (curl_multi_add_handle(multi_, t->easy) != CURLM_OK) {
                    complete(std::move(t), urlError(kBBXURLErrorUnknown, "The request could not be started."));
                    continue;
                }
                active_[t->id] = std::move(t);
            }
            for (auto id : cancels) {
                auto it = active_.find(id);
                if (it == active_.end()) continue;  // already finished
                auto t = std::move(it->second);
                active_.erase(it);
                complete(std::move(t), cancelledError());
            }
            int running = 0;
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                BBXTransfer* raw = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
                if (!raw) continue;
                auto it = active_.find(raw->id);
                if (it == active_.end()) continue;
                auto t = std::move(it->second);
                active_.erase(it);
                CURLcode result = msg->data.result;
                std::optional<base::Error> error;
                if (t->timedOut) error = urlError(kBBXURLErrorTimedOut, "The request timed out.");
                else if (t->downloadFailed)
                    error = base::Error(kBBXURLSessionDownloadTaskErrorDomain, -1, "The downloaded file could not be written.");
                else if (result != CURLE_OK && !t->proxyRefusedTunnel()) error = errorForCurl(result, t->errorBuffer);
                else if (auto next = t->redirectToFollow()) {
                    curl_multi_remove_handle(multi_, t->easy);
                    t->task->startTransfer(t->trust, t.get(), *next);
                    continue;
                } else t->deliverResponseOnce();
                complete(std::move(t), std::move(error));
            }
            curl_multi_poll(multi_, nullptr, 0, active_.empty() ? 1000 : 200, nullptr);
        }
    }

    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<BBXTransfer>> adds_;
    std::vector<std::uint64_t> cancels_;
    std::map<std::uint64_t, std::unique_ptr<BBXTransfer>> active_;
    std::atomic<std::uint64_t> nextId_{1};
};

// ---- configuration

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::defaultSessionConfiguration() {
    return std::make_shared<BBXURLSessionConfiguration>();
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::ephemeralSessionConfiguration() {
    return std::make_shared<BBXURLSessionConfiguration>();
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::backgroundSessionConfiguration(
    const std::string&) {
    return nullptr;
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::copy() const {
    auto c = std::make_shared<BBXURLSessionConfiguration>();
    c->HTTPAdditionalHeaders = HTTPAdditionalHeaders;
    return c;
}

// ---- tasks

BBXURLSessionTask::BBXURLSessionTask(Kind kind, std::shared_ptr<BBXURLSession> session, TRLURLRequest request)
    : kind_(kind),
      identifier_(gNextTaskId++),
      session_(std::move(session)),
      request_(std::move(request)),
      queue_(std::make_shared<TRLSerialExecutor>()) {
    if (kind_ == Kind::Download) targetPath_ = temporaryDownloadPath();
}

BBXURLSessionTask::~BBXURLSessionTask() {
    if (!targetPath_.empty()) ::unlink(targetPath_.c_str());
}

std::shared_ptr<const TRLHTTPURLResponse> BBXURLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

std::optional<base::Error> BBXURLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

BBXURLSessionTask::State BBXURLSessionTask::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string BBXURLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void BBXURLSessionTask::setTaskDescription(std::string text) {
    std::lock_guard lock(mutex_);
    description_ = std::move(text);
}

void BBXURLSessionTask::resume() {
    {
        std::lock_guard lock(mutex_);
        if (resumed_ || finished_) return;
        resumed_ = true;
        state_ = State::Running;
    }
    session_->challengeThenStart(shared_from_this());
}

void BBXURLSessionTask::cancel() {
    std::uint64_t transfer = 0;
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        transfer = transferId_;
    }
    if (transfer) BBXTransport::shared().cancel(transfer);
    else finish(cancelledError());
}

void BBXURLSessionTask::startTransfer(std::shared_ptr<TRLServerTrust> trust, const BBXTransfer* redirectedFrom,
                                      const std::string& url) {
    auto t = std::make_unique<BBXTransfer>();
    t->task = shared_from_this();
    t->trust = trust;
    t->redirects = redirectedFrom ? redirectedFrom->redirects + 1 : 0;
    t->easy = curl_easy_init();
    if (!t->easy) {
        finish(urlError(kBBXURLErrorUnknown, "The request could not be started."));
        return;
    }
    CURL* c = t->easy;
    const TRLURLRequest& r = request_;
    // The timeout counts time without progress, as an idle timeout.
    double timeout = r.timeoutInterval > 0 ? r.timeoutInterval : 60;
    base::CurlSetup setup;
    setup.errorBuffer = t->errorBuffer;
    setup.connectTimeoutMs = static_cast<long>(timeout * 1000);
    std::string pem;
    if (trust && trust->anchorsOnly()) {
        pem = trust->anchorsPEM();
        if (pem.empty()) {
            finish(cancelledError());
            return;
        }
        setup.caInfoBlob = pem;
    } else {
        std::lock_guard lock(gTestMutex);
        setup.caFile = gDefaultTrustFile;
    }
    base::curlApplySetup(c, setup);
    curl_easy_setopt(c, CURLOPT_URL, redirectedFrom ? url.c_str() : r.url.c_str());
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &base::curlCollectHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t->received);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &BBXTransfer::onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, t.get());
    // libcurl never follows an upload's redirect: each hop sends the whole
    // body again, so the transport follows only 307 and 308, a few times
    // (BBXTransfer::redirectToFollow); any other redirect is the answer, and
    // the caller's retry rules decide what happens next.
    const bool followsRedirects = kind_ != Kind::Upload && r.bodyFile.empty();
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, followsRedirects ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 16L);
    // A request begun over https never goes on in the clear: its body,
    // headers and API key would leave the pinned trust behind.
    const bool secure = base::toLowerAscii(r.url.substr(0, 8)) == "https://";
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
    // The SDK sends a handful of requests a run: a fresh connection each
    // time costs little and never meets a connection the server dropped.
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
    t->idleTimeout = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(timeout));
    t->lastProgress = std::chrono::steady_clock::now();
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &BBXTransfer::onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, t.get());
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

    {
        std::lock_guard lock(gTestMutex);
        for (const auto& entry : gResolveOverrides) t->resolve = curl_slist_append(t->resolve, entry.c_str());
        if (t->resolve) curl_easy_setopt(c, CURLOPT_RESOLVE, t->resolve);
    }

    // Method and body.
    const std::string& method = r.method.empty() ? std::string("GET") : r.method;
    if (!r.bodyFile.empty()) {
        t->upload = std::fopen(r.bodyFile.c_str(), "rb");
        if (!t->upload) {
            finish(urlError(kBBXURLErrorCannotOpenFile, "The request body could not be read."));
            return;
        }
        struct stat st {};
        ::fstat(::fileno(t->upload), &st);
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READDATA, t->upload);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(st.st_size));
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (!r.body.empty() || method == "POST" || method == "PUT" || method == "PATCH") {
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, r.body.c_str());
        if (method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "GET") {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    // Headers: the request's, then the configuration's; libcurl counts the body itself.
    for (const auto& [name, value] : r.headers) {
        if (TRLHeaderNameEquals(name, "Content-Length")) continue;
        t->headers = curl_slist_append(t->headers, (name + ": " + value).c_str());
    }
    if (auto config = session_->configuration())
        for (const auto& [name, value] : config->HTTPAdditionalHeaders)
            t->headers = curl_slist_append(t->headers, (name + ": " + value).c_str());
    t->headers = curl_slist_append(t->headers, "Expect:");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, t->headers);

    if (kind_ == Kind::Download) {
        t->downloadFd = ::open(targetPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (t->downloadFd < 0) {
            finish(base::Error(kBBXURLSessionDownloadTaskErrorDomain, -1, "The download file could not be created."));
            return;
        }
    }

    {
        std::lock_guard lock(mutex_);
        if (finished_) return;  // cancelled while the challenge was answered
        // A hop keeps its transfer's number, so a cancel sent meanwhile finds it.
        t->id = redirectedFrom ? redirectedFrom->id : BBXTransport::shared().nextId();
        transferId_ = t->id;
    }
    BBXTransport::shared().start(std::move(t));
}

void BBXURLSessionTask::deliverResponse(std::shared_ptr<const TRLHTTPURLResponse> response) {
    {
        std::lock_guard lock(mutex_);
        response_ = response;
    }
    auto delegate = invokesDelegate_ ? session_->delegate() : nullptr;
    if (!delegate) return;
    auto self = shared_from_this();
    auto session = session_;
    session_->post([self, session, delegate, response] { delegate->didReceiveResponse(*session, *self, *response); });
}

void BBXURLSessionTask::deliverData(std::string chunk) {
    auto delegate = invokesDelegate_ ? session_->delegate() : nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!data_) data_.emplace();
        data_->append(chunk);
    }
    if (!delegate) return;
    auto self = shared_from_this();
    auto session = session_;
    session_->post([self, session, delegate, chunk = std::move(chunk)] {
        delegate->didReceiveData(*session, *self, chunk);
    });
}

void BBXURLSessionTask::finish(std::optional<base::Error> error) {
    std::optional<std::string> data;
    std::shared_ptr<const TRLHTTPURLResponse> response;
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        finished_ = true;
        state_ = State::Completed;
        transferId_ = 0;
        error_ = error;
        response = response_;
        if (!error) data = data_ ? std::move(*data_) : std::string();
        data_.reset();
    }
    auto self = shared_from_this();
    // A completion handler runs on the task's own queue; what the delegate
    // hears goes to the delegate queue.
    const bool handler = dataCompletion_ || downloadCompletion_;
    base::Task deliver = [self, data = std::move(data), response, error]() mutable {
        auto session = self->session_;
        auto delegate = self->invokesDelegate_ ? session->delegate() : nullptr;
        if (self->kind_ == Kind::Download) {
            if (self->downloadCompletion_) {
                auto handler = std::move(self->downloadCompletion_);
                self->downloadCompletion_ = nullptr;
                handler(self->targetPath_, response, error);
            }
            if (!error && delegate)
                delegate->didFinishDownloadingToURL(*session, static_cast<BBXURLSessionDownloadTask&>(*self),
                                                    self->targetPath_);
            ::unlink(self->targetPath_.c_str());
        } else if (self->dataCompletion_) {
            auto handler = std::move(self->dataCompletion_);
            self->dataCompletion_ = nullptr;
            handler(std::move(data), response, error);
        }
        if (delegate) delegate->didCompleteWithError(*session, *self, error);
        session->taskFinished(self);
    };
    if (handler) queue_->post(std::move(deliver));
    else session_->post(std::move(deliver));
}

void BBXURLSessionTask::finishAfterChallenge(std::shared_ptr<const TRLHTTPURLResponse> response, std::string body,
                                             std::optional<base::Error> error) {
    {
        // The transport is done with it: a cancel from now on ends it at once.
        std::lock_guard lock(mutex_);
        if (finished_) return;
        transferId_ = 0;
    }
    BBXURLAuthenticationChallenge challenge;
    TRLURLParts where = urlParts(request_.url);
    challenge.host = where.host;
    challenge.port = where.port;
    challenge.proxy = response->statusCode == 407;
    auto header = response->valueForHTTPHeaderField(challenge.proxy ? "Proxy-Authenticate" : "WWW-Authenticate");
    challenge.authenticationMethod = authenticationMethodForHeader(header.value_or(""));
    auto self = shared_from_this();
    session_->raiseChallenge(std::move(challenge), [self, response, body = std::move(body), error](
                                                       BBXURLSessionAuthChallengeDisposition disposition,
                                                       std::optional<BBXURLCredential>) mutable {
        if (disposition == BBXURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
            self->finish(cancelledError());
            return;
        }
        {
            std::lock_guard lock(self->mutex_);
            if (self->finished_) return;  // cancelled while the delegate thought
        }
        // No password to offer: the reply stands as the server sent it.
        self->deliverResponse(response);
        if (!body.empty()) self->deliverData(std::move(body));
        self->finish(std::move(error));
    });
}

// ---- session

std::shared_ptr<BBXURLSession> BBXURLSession::sessionWithConfiguration(
    std::shared_ptr<BBXURLSessionConfiguration> configuration, std::shared_ptr<BBXURLSessionDelegate> delegate,
    base::Executor* delegateQueue) {
    if (!configuration) return nullptr;
    std::shared_ptr<BBXURLSession> session(new BBXURLSession());
    session->configuration_ = std::move(configuration);
    session->ownQueue_ = std::make_shared<TRLSerialExecutor>();
    session->delegate_ = std::move(delegate);
    session->delegateQueue_ = delegateQueue;
    if (!delegateQueue && session->delegate_) session->delegateQueue_ = session->ownQueue_.get();
    return session;
}

BBXURLSession::~BBXURLSession() = default;

void BBXURLSession::post(base::Task task) {
    // Held while posting, so the owner's queue cannot be detached (and then
    // destroyed) between choosing it and handing it the task.
    std::lock_guard lock(queueMutex_);
    base::Executor* queue = delegateQueue_ ? delegateQueue_ : ownQueue_.get();
    queue->post(std::move(task));
}

base::Executor* BBXURLSession::delegateQueue() const {
    std::lock_guard lock(queueMutex_);
    return delegateQueue_;
}

void BBXURLSession::detachDelegateQueue() {
    std::lock_guard lock(queueMutex_);
    delegateQueue_ = ownQueue_.get();
}

template <class T>
std::shared_ptr<T> BBXURLSession::makeTask(BBXURLSessionTask::Kind kind, const TRLURLRequest& request) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return nullptr;
    std::shared_ptr<T> task(new T(kind, shared_from_this(), request));
    taskSet_.insert(task);
    return task;
}

std::shared_ptr<BBXURLSessionDataTask> BBXURLSession::dataTaskWithRequest(const TRLURLRequest& request,
                                                                          BBXDataTaskCompletion completion) {
    auto task = makeTask<BBXURLSessionDataTask>(BBXURLSessionTask::Kind::Data, request);
    if (task && completion) {
        task->dataCompletion_ = std::move(completion);
        task->invokesDelegate_ = false;
    }
    return task;
}

std::shared_ptr<BBXURLSessionUploadTask> BBXURLSession::uploadTaskWithRequest(const TRLURLRequest& request,
                                                                              const std::string& fromFile,
                                                                              BBXDataTaskCompletion completion) {
    TRLURLRequest withFile = request;
    withFile.body.clear();
    withFile.bodyFile = fromFile;
    auto task = makeTask<BBXURLSessionUploadTask>(BBXURLSessionTask::Kind::Upload, withFile);
    if (task && completion) {
        task->dataCompletion_ = std::move(completion);
        task->invokesDelegate_ = false;
    }
    return task;
}

std::shared_ptr<BBXURLSessionDownloadTask> BBXURLSession::downloadTaskWithRequest(const TRLURLRequest& request,
                                                                                  BBXDownloadTaskCompletion completion) {
    auto task = makeTask<BBXURLSessionDownloadTask>(BBXURLSessionTask::Kind::Download, request);
    if (task && completion) {
        task->downloadCompletion_ = std::move(completion);
        task->invokesDelegate_ = false;
    }
    return task;
}

std::shared_ptr<BBXURLSessionDownloadTask> BBXURLSession::downloadTaskWithURL(const std::string& url,
                                                                              BBXDownloadTaskCompletion completion) {
    TRLURLRequest request;
    request.url = url;
    return downloadTaskWithRequest(request, std::move(completion));
}

void BBXURLSession::challengeThenStart(const std::shared_ptr<BBXURLSessionTask>& task) {
    TRLURLParts where = urlParts(task->originalRequest().url);
    const std::string& scheme = where.scheme;
    const std::string& host = where.host;
    const long port = where.port;
    auto delegate = this->delegate();
    if (scheme != "https" || !delegate || !delegate->answersChallenges()) {
        task->startTransfer(nullptr);
        return;
    }
    auto trust = std::make_shared<TRLServerTrust>(host, static_cast<int>(port));
    BBXURLAuthenticationChallenge challenge{host, static_cast<int>(port), kBBXAuthenticationMethodServerTrust, trust};
    raiseChallenge(std::move(challenge),
                   [task](BBXURLSessionAuthChallengeDisposition disposition, std::optional<BBXURLCredential> cred) {
                       switch (disposition) {
                       case BBXURLSessionAuthChallengeDisposition::UseCredential:
                           if (cred && cred->trust) task->startTransfer(cred->trust);
                           else task->finish(cancelledError());
                           break;
                       case BBXURLSessionAuthChallengeDisposition::PerformDefaultHandling:
                           task->startTransfer(nullptr);
                           break;
                       case BBXURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
                           task->finish(cancelledError());
                           break;
                       }
                   });
}

bool BBXURLSession::raisesChallengeForResponse(const TRLHTTPURLResponse& response) const {
    if (response.statusCode != 401 && response.statusCode != 407) return false;
    if (!response.valueForHTTPHeaderField(response.statusCode == 401 ? "WWW-Authenticate" : "Proxy-Authenticate"))
        return false;
    auto delegate = this->delegate();
    return delegate && delegate->answersChallenges();
}

void BBXURLSession::raiseChallenge(
    BBXURLAuthenticationChallenge challenge,
    std::function<void(BBXURLSessionAuthChallengeDisposition, std::optional<BBXURLCredential>)> answer) {
    auto self = shared_from_this();
    // Taken now: the delegate stays while the task is in the task set.
    auto delegate = this->delegate();
    post([self, delegate, challenge = std::move(challenge), answer = std::move(answer)] {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        BBXChallengeCompletion once = [answered, answer](BBXURLSessionAuthChallengeDisposition disposition,
                                                         std::optional<BBXURLCredential> credential) {
            if (answered->exchange(true)) return;
            answer(disposition, std::move(credential));
        };
        if (!delegate || !delegate->answersChallenges()) {
            once(BBXURLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
            return;
        }
        delegate->didReceiveChallenge(*self, challenge, once);
    });
}

void BBXURLSession::taskFinished(const std::shared_ptr<BBXURLSessionTask>& task) {
    {
        std::lock_guard lock(mutex_);
        taskSet_.erase(task);
    }
    invalidateIfDone();
}

void BBXURLSession::invalidateIfDone() {
    std::shared_ptr<BBXURLSessionDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        if (!invalidated_ || !taskSet_.empty() || invalidationReported_) return;
        invalidationReported_ = true;
        delegate = std::move(delegate_);
        delegate_.reset();
    }
    if (!delegate) return;
    auto self = shared_from_this();
    post([self, delegate] { delegate->didBecomeInvalidWithError(*self, std::nullopt); });
}

void BBXURLSession::invalidateAndCancel() {
    std::vector<std::shared_ptr<BBXURLSessionTask>> tasks;
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
        tasks.assign(taskSet_.begin(), taskSet_.end());
    }
    for (auto& t : tasks) t->cancel();
    invalidateIfDone();
}

void BBXURLSession::finishTasksAndInvalidate() {
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
    }
    invalidateIfDone();
}

bool BBXURLSession::isInvalidated() const {
    std::lock_guard lock(mutex_);
    return invalidated_;
}

void BBXURLSession::getTasksWithCompletionHandler(
    std::function<void(std::vector<std::shared_ptr<BBXURLSessionTask>>, std::vector<std::shared_ptr<BBXURLSessionTask>>,
                       std::vector<std::shared_ptr<BBXURLSessionTask>>)>
        handler) {
    if (!handler) return;
    auto self = shared_from_this();
    post([self, handler = std::move(handler)] {
        std::vector<std::shared_ptr<BBXURLSessionTask>> data, upload, download;
        {
            std::lock_guard lock(self->mutex_);
            for (auto& t : self->taskSet_) {
                if (t->state() == BBXURLSessionTask::State::Completed) continue;
                switch (t->kind()) {
                case BBXURLSessionTask::Kind::Data: data.push_back(t); break;
                case BBXURLSessionTask::Kind::Upload: upload.push_back(t); break;
                case BBXURLSessionTask::Kind::Download: download.push_back(t); break;
                }
            }
        }
        auto byId = [](auto& a, auto& b) { return a->taskIdentifier() < b->taskIdentifier(); };
        std::sort(data.begin(), data.end(), byId);
        std::sort(upload.begin(), upload.end(), byId);
        std::sort(download.begin(), download.end(), byId);
        handler(std::move(data), std::move(upload), std::move(download));
    });
}

std::shared_ptr<BBXURLSessionDelegate> BBXURLSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

std::string BBXURLSession::sessionDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void BBXURLSession::setSessionDescription(std::string text) {
    std::lock_guard lock(mutex_);
    description_ = std::move(text);
}

std::size_t BBXURLSession::taskCount() const {
    std::lock_guard lock(mutex_);
    return taskSet_.size();
}

void BBXURLSession::setDefaultTrustFileForTesting(const std::string& pemFile) {
    std::lock_guard lock(gTestMutex);
    gDefaultTrustFile = pemFile;
}

void BBXURLSession::setResolveOverridesForTesting(const std::vector<std::string>& entries) {
    std::lock_guard lock(gTestMutex);
    gResolveOverrides = entries;
}
