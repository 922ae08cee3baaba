#pragma once
// Blocking HTTP over libcurl. Call it off the interface thread.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/LineTurns.h"

namespace base {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HeaderList headers;
    std::string body;            // sent when bodyFile is empty
    std::string bodyFile;        // a file streamed as the body
    std::string username;        // basic authentication when not empty
    std::string password;
    long timeoutSeconds = 60;    // whole transfer; 0 = none
    long connectTimeoutSeconds = 30;
    // Once connected, the request fails when none of it moves for this long
    // while it is sent (0 = no such limit). What counts as moved is what the
    // peer has taken from this machine, not what curl handed to the socket
    // buffer: on a slow line the buffer holds much that is still to go.
    std::chrono::milliseconds sendSilence{0};
    // Once the request is out whole, how long the answer may keep silent
    // (0 = no such limit).
    std::chrono::milliseconds answerWait{0};
    // With either limit: called on the transfer's thread while the request
    // moves (at most four times a second) and once it is out whole.
    std::function<void()> onMoving;
    // With either limit: called once on the transfer's thread when the peer
    // has taken the whole request, before its answer is read.
    std::function<void()> onSent;
    std::string caInfoBlob;      // PEM roots to trust instead of the system's
    std::string caFile;          // a PEM file of roots to trust
    bool verifyPeer = true;
    bool followRedirects = false;
    std::string downloadFile;    // when set, the body is written here instead of memory
    // Called with bytes sent and total to send; return false to abort.
    std::function<bool(std::uint64_t sent, std::uint64_t total)> uploadProgress;
    // Who waits on it when the line is shared (see LineTurns.h).
    LinePriority priority = LinePriority::Normal;
};

struct HttpResponse {
    long status = 0;             // 0 when no reply arrived
    HeaderList headers;          // names as received
    std::string body;
    int curlCode = 0;            // CURLE_OK when the exchange completed
    std::string error;           // transport error text
    // The peer took the whole request, or may hold it whole (a request cut
    // after it was all handed to the socket, some of it still on its way):
    // whatever went wrong afterwards, it may have acted on it.
    bool requestSent = false;
    enum class Cut { None, SendSilent, NoAnswer };
    Cut cut = Cut::None;         // which of the request's silence limits ended it
    bool completed() const { return curlCode == 0; }
    // First header of that name, compared without case.
    std::optional<std::string> header(std::string_view name) const;
};

HttpResponse httpPerform(const HttpRequest& request);

// How far the data written to a connected TCP socket has gone: bytes the peer
// acknowledged, and bytes that have not yet left this machine once (-1 each
// where the socket cannot say).
struct TcpProgress {
    std::int64_t acknowledged = -1;
    std::int64_t neverSent = -1;
};
TcpProgress tcpProgress(int socket);

// Percent-escapes every byte outside the unreserved set (A-Z a-z 0-9 - . _ ~).
std::string urlEncode(std::string_view text);
std::string urlDecode(std::string_view text);
// "k=v&k2=v2" with both sides escaped by urlEncode, in the order given.
std::string formEncode(const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace base
