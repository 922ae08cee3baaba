#include "base/Http.h"

#include <curl/curl.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/CurlSetup.h"
#include "base/Text.h"

namespace base {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Transfer {
    HttpResponse* response = nullptr;
    FILE* download = nullptr;
    const HttpRequest* request = nullptr;
    CURL* curl = nullptr;
    curl_off_t bodySize = 0;
    // The silence watch: what the peer had taken, or what had come back,
    // when it last moved.
    bool watching = false;
    curl_off_t lastTaken = 0;
    curl_off_t lastReceived = 0;
    SteadyClock::time_point lastMove{};
    SteadyClock::time_point lastTold{};
    // Sharing the line: held while this guest's request is sent; the turns
    // of a background body.
    std::optional<GuestSending> guest;
    BackgroundTurn turn;
    FILE* bodyFile = nullptr;
    std::string_view bodyLeft;

    bool watchesSilence() const {
        return request->sendSilence.count() > 0 || request->answerWait.count() > 0;
    }
    // The sockets curl has open for this transfer (more than one only while
    // it tries several addresses at once).
    std::vector<curl_socket_t> sockets;
    // The watch or the caller gave the request up: its connection is reset,
    // not closed, so that the kernel sends nothing more of it.
    bool givingUp = false;
    // What the connection's socket said as it closed: the request bytes the
    // peer acknowledged, those that never left this machine (-1: unknown),
    // and whether the reset could be made.
    curl_off_t acknowledgedAtClose = -1;
    curl_off_t neverSentAtClose = -1;
    bool resetAtClose = false;
    // Bytes of the request curl has written that the peer has not yet
    // acknowledged; 0 where the socket cannot say.
    curl_off_t unacknowledged() const {
        if (sockets.size() != 1) return 0;
        int queued = 0;
        return ::ioctl(sockets.front(), SIOCOUTQ, &queued) == 0 ? queued : 0;
    }
    // Whether the request has been silent too long: nothing of it taken by
    // the peer while it is sent, or nothing of the answer once it is out.
    bool silentTooLong(curl_off_t received, curl_off_t written) {
        curl_off_t connected = 0;
        curl_easy_getinfo(curl, CURLINFO_PRETRANSFER_TIME_T, &connected);
        if (connected <= 0) return false;  // connecting keeps its own limit
        const auto now = SteadyClock::now();
        if (!response->requestSent) {
            const curl_off_t unsent = unacknowledged();
            const curl_off_t taken = written - unsent;
            if (!watching || taken != lastTaken) {
                if (watching) noteLineMoved();
                watching = true;
                lastTaken = taken;
                lastMove = now;
                if (request->onMoving && now - lastTold >= std::chrono::milliseconds(250)) {
                    lastTold = now;
                    request->onMoving();
                }
            }
            if (written >= bodySize && unsent == 0) {
                response->requestSent = true;
                if (guest) guest->end();
                if (request->onSent) request->onSent();
                if (request->onMoving) request->onMoving();
                lastReceived = received;
                lastMove = now;
                return false;
            }
            if (request->sendSilence.count() > 0 && now - lastMove >= request->sendSilence) {
                response->cut = HttpResponse::Cut::SendSilent;
                return true;
            }
            return false;
        }
        if (received != lastReceived) {
            noteLineMoved();
            lastReceived = received;
            lastMove = now;
        }
        if (request->answerWait.count() > 0 && now - lastMove >= request->answerWait) {
            response->cut = HttpResponse::Cut::NoAnswer;
            return true;
        }
        return false;
    }
};

curl_socket_t openSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto* t = static_cast<Transfer*>(user);
    curl_socket_t socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (socket != CURL_SOCKET_BAD) t->sockets.push_back(socket);
    if (socket != CURL_SOCKET_BAD && t->request->priority == LinePriority::Background) {
        // Little of a background body waits in this machine's buffers, so
        // that holding back for a guest frees the line soon.
        int lowWater = 16 * 1024;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof lowWater);
    }
    return socket;
}

int closeSocket(void* user, curl_socket_t socket) {
    auto* t = static_cast<Transfer*>(user);
    std::erase(t->sockets, socket);
    // What the peer acknowledged over the connection's life, kept past the
    // close: a connection lost after the whole request was in differs from
    // one lost while the request was still in this machine's buffers.
    const TcpProgress progress = tcpProgress(socket);
    t->acknowledgedAtClose = progress.acknowledged;
    t->neverSentAtClose = progress.neverSent;
    // A plain close would leave what the socket still holds of a request
    // given up to go out after it, and the peer could get it whole long
    // after the booth stopped waiting. A reset drops it.
    t->resetAtClose = false;
    if (t->givingUp) {
        const linger reset{1, 0};
        t->resetAtClose = ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) == 0;
    }
    return ::close(socket);
}

std::string seconds(std::chrono::milliseconds span) {
    const auto tenths = (span.count() + 50) / 100;
    return tenths % 10 == 0 ? std::to_string(tenths / 10) : std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    if (t->download) return std::fwrite(data, 1, n, t->download);
    t->response->body.append(data, n);
    return n;
}

// A background body, handed over in the turns the line gives it.
size_t onBackgroundBody(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t wanted = t->turn.take(size * count);
    if (t->bodyFile) return std::fread(buffer, 1, wanted, t->bodyFile);
    const size_t n = std::min(wanted, t->bodyLeft.size());
    std::memcpy(buffer, t->bodyLeft.data(), n);
    t->bodyLeft.remove_prefix(n);
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(user);
    const bool goOn = !(t->watchesSilence() && t->silentTooLong(dlnow, ulnow)) &&
                      (!t->request->uploadProgress ||
                       t->request->uploadProgress(static_cast<std::uint64_t>(ulnow), static_cast<std::uint64_t>(ultotal)));
    t->givingUp = !goOn;
    return goOn ? 0 : 1;
}

}  // namespace

TcpProgress tcpProgress(int socket) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 || size < sizeof info) return {};
    // The kernel's count includes the connection's SYN, which carries no data.
    return {info.tcpi_bytes_acked > 0 ? static_cast<std::int64_t>(info.tcpi_bytes_acked) - 1 : 0,
            static_cast<std::int64_t>(info.tcpi_notsent_bytes)};
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (auto& [k, v] : headers) {
        if (equalsIgnoringAsciiCase(k, name)) return v;
    }
    return std::nullopt;
}

HttpResponse httpPerform(const HttpRequest& request) {
    curlGlobalInit();
    HttpResponse response;
    CURL* curl = curl_easy_init();
    if (!curl) {
        response.curlCode = CURLE_FAILED_INIT;
        response.error = "could not start a transfer";
        return response;
    }
    Transfer transfer;
    transfer.response = &response;
    transfer.request = &request;
    transfer.curl = curl;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    FILE* upload = nullptr;
    curl_slist* headers = nullptr;

    CurlSetup setup;
    setup.errorBuffer = errorBuffer;
    setup.connectTimeoutMs = request.connectTimeoutSeconds * 1000;
    setup.timeoutMs = request.timeoutSeconds * 1000;
    setup.verifyPeer = request.verifyPeer;
    setup.caInfoBlob = request.caInfoBlob;
    setup.caFile = request.caFile;
    curlApplySetup(curl, setup);
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, curlCollectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
    const bool background = request.priority == LinePriority::Background;
    if (request.uploadProgress || transfer.watchesSilence() || background) {
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, openSocket);
        curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, closeSocket);
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }
    if (!request.username.empty() || !request.password.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curl, CURLOPT_USERNAME, request.username.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, request.password.c_str());
    }

    bool hasBody = !request.body.empty() || !request.bodyFile.empty();
    const std::string& method = request.method;
    if (method == "GET" && !hasBody) {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (!request.bodyFile.empty()) {
        upload = std::fopen(request.bodyFile.c_str(), "rb");
        if (!upload) {
            curl_easy_cleanup(curl);
            response.curlCode = CURLE_READ_ERROR;
            response.error = "cannot read " + request.bodyFile;
            return response;
        }
        std::fseek(upload, 0, SEEK_END);
        long size = std::ftell(upload);
        std::fseek(upload, 0, SEEK_SET);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READDATA, upload);
        transfer.bodyFile = upload;
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
        transfer.bodySize = size;
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        if (background) transfer.bodyLeft = request.body;
        else curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        transfer.bodySize = static_cast<curl_off_t>(request.body.size());
        if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    bool hasExpect = false;
    for (auto& [k, v] : request.headers) {
        std::string line = v.empty() ? k + ";" : k + ": " + v;
        headers = curl_slist_append(headers, line.c_str());
        if (k.size() == 6 && (k == "Expect" || k == "expect")) hasExpect = true;
    }
    // No "100-continue" round trip: small servers (and ours in tests) do not answer it.
    if (!hasExpect) headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

    if (!request.downloadFile.empty()) {
        transfer.download = std::fopen((request.downloadFile + ".part").c_str(), "wb");
        if (!transfer.download) {
            response.curlCode = CURLE_WRITE_ERROR;
            response.error = "cannot write " + request.downloadFile;
        }
    }
    if (background && hasBody) {
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, onBackgroundBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
    }
    if (request.priority == LinePriority::Guest) transfer.guest.emplace();
    if (response.curlCode == 0) {
        CURLcode rc = curl_easy_perform(curl);
        response.curlCode = rc;
        if (rc != CURLE_OK) response.error = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
        if (response.cut == HttpResponse::Cut::SendSilent)
            response.error = "nothing of the request moved in " + seconds(request.sendSilence) + " s";
        else if (response.cut == HttpResponse::Cut::NoAnswer)
            response.error = "no answer in " + seconds(request.answerWait) + " s";
        if (response.status > 0) response.requestSent = true;
    }
    transfer.guest.reset();
    if (transfer.download) {
        bool ok = std::fclose(transfer.download) == 0 && response.curlCode == 0;
        std::string part = request.downloadFile + ".part";
        if (ok) std::rename(part.c_str(), request.downloadFile.c_str());
        else std::remove(part.c_str());
    }
    long headerBytes = 0;
    curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &headerBytes);
    curl_off_t bodyWritten = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &bodyWritten);
    if (upload) std::fclose(upload);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);  // closes the connection: what it acknowledged is known now
    // A connection lost between two looks of the watch, once the peer had
    // taken the whole request.
    const bool lost = response.curlCode == CURLE_GOT_NOTHING || response.curlCode == CURLE_RECV_ERROR ||
                      response.curlCode == CURLE_PARTIAL_FILE;
    if (lost && headerBytes > 0 && transfer.acknowledgedAtClose >= headerBytes + transfer.bodySize)
        response.requestSent = true;
    // A request given up once it was all in the socket: unacknowledged is not
    // unreceived. Only where its last bytes never left this machine and the
    // reset dropped them can the peer not hold it whole.
    if (transfer.givingUp && !response.requestSent && bodyWritten >= transfer.bodySize &&
        !(transfer.resetAtClose && transfer.neverSentAtClose > 0))
        response.requestSent = true;
    return response;
}

std::string urlEncode(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (isAsciiAlnum(static_cast<char>(c)) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string urlDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    auto val = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size() && val(text[i + 1]) >= 0 &&
            val(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(val(text[i + 1]) * 16 + val(text[i + 2])));
            i += 2;
        } else if (c == '+') {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string formEncode(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (auto& [k, v] : fields) {
        if (!out.empty()) out.push_back('&');
        out += urlEncode(k);
        out.push_back('=');
        out += urlEncode(v);
    }
    return out;
}

}  // namespace base
