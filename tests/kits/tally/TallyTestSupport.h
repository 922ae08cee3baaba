#pragma once
#include <chrono>
#include <thread>
// Helpers shared by the analytics kit's tests: reading event lines back,
// splitting multipart uploads, and stand-ins for the SDK core and clock.
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "base/Files.h"
#include "base/Gzip.h"
#include "base/Json.h"
#include "kits/tally/BBXAnalyticsController.h"

namespace tallytest {

struct Line {
    std::string timestamp, key;
    std::optional<std::string> payload;
};

// Parses event lines the way a server would: the payload length says how
// many bytes follow, so tabs and line feeds inside it are harmless. Stops at
// the first incomplete line; `consumed` is how far it got.
inline std::vector<Line> parseLines(const std::string& data, std::size_t* consumed = nullptr,
                                    bool* malformed = nullptr) {
    std::vector<Line> out;
    std::size_t i = 0;
    if (malformed) *malformed = false;
    while (i < data.size()) {
        Line line;
        auto tab = data.find('\t', i);
        if (tab == std::string::npos) break;
        line.timestamp = data.substr(i, tab - i);
        auto end = data.find_first_of("\t\n", tab + 1);
        if (end == std::string::npos) break;
        line.key = data.substr(tab + 1, end - tab - 1);
        if (data[end] == '\t') {
            auto tab2 = data.find('\t', end + 1);
            if (tab2 == std::string::npos) break;
            std::size_t len = std::stoul(data.substr(end + 1, tab2 - end - 1));
            if (tab2 + 1 + len >= data.size()) break;
            line.payload = data.substr(tab2 + 1, len);
            end = tab2 + 1 + len;
            if (data[end] != '\n') {
                if (malformed) *malformed = true;
                break;
            }
        }
        out.push_back(std::move(line));
        i = end + 1;
    }
    if (consumed) *consumed = i;
    return out;
}

struct Part {
    std::string name, fileName, contentType, body;
};

inline std::vector<Part> parseMultipart(const testsupport::RecordedRequest& request) {
    std::vector<Part> parts;
    auto type = request.header("Content-Type").value_or("");
    auto at = type.find("boundary=");
    if (at == std::string::npos) return parts;
    std::string boundary = "--" + type.substr(at + 9);
    const std::string& body = request.body;
    std::size_t pos = body.find(boundary);
    while (pos != std::string::npos) {
        pos += boundary.size();
        if (body.compare(pos, 2, "--") == 0) break;
        pos += 2;  // CRLF
        auto headerEnd = body.find("\r\n\r\n", pos);
        if (headerEnd == std::string::npos) break;
        std::string headers = body.substr(pos, headerEnd - pos);
        auto next = body.find("\r\n" + boundary, headerEnd + 4);
        if (next == std::string::npos) break;
        Part part;
        part.body = body.substr(headerEnd + 4, next - headerEnd - 4);
        auto grab = [&](const std::string& key) {
            auto k = headers.find(key + "=\"");
            if (k == std::string::npos) return std::string();
            auto e = headers.find('"', k + key.size() + 2);
            return headers.substr(k + key.size() + 2, e - k - key.size() - 2);
        };
        part.name = grab("name");
        part.fileName = grab("filename");
        auto ct = headers.find("Content-Type: ");
        if (ct != std::string::npos) part.contentType = headers.substr(ct + 14, headers.find("\r\n", ct) - ct - 14);
        parts.push_back(std::move(part));
        pos = next + 2;
    }
    return parts;
}

// Every event line in the uploads a server received.
inline std::vector<Line> uploadedLines(testsupport::LoopbackServer& server) {
    std::vector<Line> out;
    for (const auto& request : server.requests())
        for (const auto& part : parseMultipart(request))
            if (auto data = base::gzipDecompress(part.body)) {
                auto lines = parseLines(*data);
                out.insert(out.end(), lines.begin(), lines.end());
            }
    return out;
}

// Every event line stored under the root, packaged or not.
// Every stored event line under `root`. Maintenance may be moving files while
// we read, so a walk that trips over a vanished entry starts again.
inline std::vector<Line> storedLines(const std::string& root) {
    for (int attempt = 0;; ++attempt) {
        std::vector<Line> out;
        std::error_code ec;
        if (!std::filesystem::exists(root, ec)) return out;
        std::filesystem::recursive_directory_iterator it(root, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (it->path().filename().string()[0] == '.') {
                it.disable_recursion_pending();  // hidden: on its way out, not stored
                continue;
            }
            std::error_code fileError;
            if (!it->is_regular_file(fileError)) continue;
            std::string path = it->path().string();
            auto data = base::readFile(path);
            if (!data) continue;
            if (path.size() > 4 && path.substr(path.size() - 4) == ".zip") {
                data = base::gzipDecompress(*data);
                if (!data) continue;
            } else if (path.size() < 4 || path.substr(path.size() - 4) != ".log") {
                continue;
            }
            auto lines = parseLines(*data);
            out.insert(out.end(), lines.begin(), lines.end());
        }
        if (!ec || attempt >= 50) return out;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

inline std::string eventId(const Line& line) {
    if (!line.payload) return {};
    auto json = base::parseJson(*line.payload);
    if (!json) return {};
    return base::jsonString(*json, "eventId").value_or("");
}

class FakeCore : public BBXAnalyticsCore {
public:
    std::optional<base::Json> settings() override {
        std::lock_guard lock(mutex);
        return settingsValue;
    }
    bool isFirstInstall() override { return firstInstall; }
    std::optional<std::string> apiKey() override { return std::string("test-api-key"); }
    std::optional<std::string> installID() override { return installIdValue; }
    BBXAnalyticsMetadataSource metadataSource() override {
        BBXAnalyticsMetadataSource s;
        s.apiKey = "test-api-key";
        s.executionIdentifier = "EXEC";
        s.installID = installIdValue;
        return s;
    }
    void set(std::optional<base::Json> s) {
        std::lock_guard lock(mutex);
        settingsValue = std::move(s);
    }
    std::mutex mutex;
    std::optional<base::Json> settingsValue;
    bool firstInstall = true;
    std::optional<std::string> installIdValue = std::string("install-1");
};

class FakeTimestamps : public BBXAnalyticsTimestampGenerator {
public:
    std::uint64_t generateAnalyticsTimestamp() override { return now.fetch_add(1); }
    std::atomic<std::uint64_t> now{1700000000000ULL};
};

inline base::Json settingsWith(const std::string& url, base::Json analytics = base::Json::object(),
                               bool collect = true) {
    base::Json a = {{"url", url},
                    {"flush_interval_secs", 0},
                    {"max_pending_send_file_count", 1000},
                    {"track_custom_events", true},
                    {"track_predefined_events", true}};
    for (auto& [k, v] : analytics.items()) a[k] = v;
    return base::Json{{"features", {{"collect_analytics", collect}}}, {"analytics", a}};
}

}  // namespace tallytest
