#include "gallery/PostHTTPServerUtilis.h"

#include <QPainter>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <regex>

#include <spdlog/spdlog.h>

#include "core/MediaItemHelper.h"
#include "core/UserDefaults.h"

void PostHTTPServerUtilis::setUserSetting(const nlohmann::json& value, const std::string& key) {
    UserDefaults::standard().set(key, value);
}

std::optional<nlohmann::json> PostHTTPServerUtilis::getUserSettingForKey(const std::string& key) {
    return UserDefaults::standard().object(key);
}

std::string PostHTTPServerUtilis::stringSetting(const std::string& key) {
    return UserDefaults::standard().string(key);
}

std::string PostHTTPServerUtilis::printsFolder() {
    std::string path = stringSetting("PHOTO_FOLDER_PATH");
    const std::string localhost = "file://localhost";
    for (auto at = path.find(localhost); at != std::string::npos; at = path.find(localhost))
        path.erase(at, localhost.size());
    if (path.rfind("file://", 0) == 0) path.erase(0, 7);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

namespace {

bool endsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool validUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t extra;
        std::uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
        else return false;
        if (i + extra >= s.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

std::optional<std::string> PostHTTPServerUtilis::percentDecode(std::string_view text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    if (!validUtf8(out)) return std::nullopt;
    return out;
}

std::string PostHTTPServerUtilis::formatDate(TimePoint time) {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    long long fraction = ms % 1000;
    if (fraction < 0) {
        fraction += 1000;
        seconds -= 1;
    }
    std::tm local{};
    localtime_r(&seconds, &local);
    long long ofDay = ((local.tm_hour * 60LL + local.tm_min) * 60LL + local.tm_sec) * 1000LL + fraction;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%lld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ofDay);
    return buf;
}

std::optional<PostHTTPServerUtilis::TimePoint> PostHTTPServerUtilis::parseStartTime(const std::string& text) {
    static const std::regex format(R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})\.(\d{1,9})$)");
    std::smatch m;
    if (!std::regex_match(text, m, format)) return std::nullopt;
    const int year = std::stoi(m[1]), month = std::stoi(m[2]), day = std::stoi(m[3]);
    int hour = std::stoi(m[4]), minute = std::stoi(m[5]), second = std::stoi(m[6]);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    long long ofDay = std::stoll(m[7]);
    if (ofDay >= 86400000LL) return std::nullopt;

    // Phones echo the "DateCreated" they saw, which is the booth's wall
    // clock: read it on the same clock. The milliseconds of the day give the
    // time (the hours, minutes and seconds fields repeat them).
    const int wallSeconds = int(ofDay / 1000);
    std::tm wall{};
    wall.tm_year = year - 1900;
    wall.tm_mon = month - 1;
    wall.tm_mday = day;
    wall.tm_hour = wallSeconds / 3600;
    wall.tm_min = wallSeconds / 60 % 60;
    wall.tm_sec = wallSeconds % 60;
    // When clocks go back an hour repeats: the earlier of the two readings
    // lists a print twice rather than missing one. In the hour skipped when
    // clocks go forward nothing was created; any reading will do.
    std::optional<std::time_t> best;
    for (int dst : {0, 1}) {
        std::tm t = wall;
        t.tm_isdst = dst;
        std::time_t candidate = std::mktime(&t);
        if (candidate == std::time_t(-1)) continue;
        std::tm back{};
        if (!localtime_r(&candidate, &back)) continue;
        if (back.tm_year != wall.tm_year || back.tm_mon != wall.tm_mon || back.tm_mday != wall.tm_mday ||
            back.tm_hour != wall.tm_hour || back.tm_min != wall.tm_min || back.tm_sec != wall.tm_sec)
            continue;
        if (!best || candidate < *best) best = candidate;
    }
    if (!best) {
        std::tm t = wall;
        t.tm_isdst = -1;
        std::time_t candidate = std::mktime(&t);
        if (candidate == std::time_t(-1)) return std::nullopt;
        best = candidate;
    }
    return TimePoint(std::chrono::seconds(*best)) + std::chrono::milliseconds(ofDay % 1000);
}

std::optional<PostHTTPServerUtilis::TimePoint> PostHTTPServerUtilis::creationDate(const std::string& path) {
    struct statx st{};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &st) != 0) return std::nullopt;
    const auto& t = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime;
    if (!(st.stx_mask & (STATX_BTIME | STATX_MTIME))) return std::nullopt;
    return TimePoint(std::chrono::milliseconds(std::int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000));
}

std::optional<nlohmann::ordered_json> PostHTTPServerUtilis::getListOfImagesAfterDate(
    const std::optional<TimePoint>& date, const std::string& dirUrl) {
    std::string dir = dirUrl;
    if (dir.rfind("file://localhost", 0) == 0) dir.erase(0, 16);
    else if (dir.rfind("file://", 0) == 0) dir.erase(0, 7);
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        spdlog::warn("PostHTTPServerUtilis: got error {}", std::strerror(errno));
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(d)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        // A name that is not UTF-8 cannot be written in the list nor asked
        // for in a URL: listing it would only offer a print that never loads.
        if (!validUtf8(name)) continue;
        if (!endsWith(name, ".jpg") && !endsWith(name, ".JPG")) continue;
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) continue;
        names.push_back(std::move(name));
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());

    auto items = nlohmann::ordered_json::array();
    for (const auto& name : names) {
        std::string path = dir + "/" + name;
        auto created = creationDate(path);
        if (date && created && *created < *date) continue;
        nlohmann::ordered_json item;
        item["FileName"] = name;
        if (created) item["DateCreated"] = formatDate(*created);
        auto media = MediaItemHelper::getMediaItemForFileName(QString::fromStdString(name));
        item["UploadUrl"] = media ? media->uploadURL.toStdString() : std::string();
        item["Thumbnail"] = "thumb/" + name;
        items.push_back(std::move(item));
    }
    return items;
}

QRectF PostHTTPServerUtilis::fittedRect(const QSizeF& imageSize, const QSizeF& target) {
    const float iw = static_cast<float>(imageSize.width()), ih = static_cast<float>(imageSize.height());
    const float tw = static_cast<float>(target.width()), th = static_cast<float>(target.height());
    const float wf = tw / iw, hf = th / ih;
    const float scale = std::min(wf, hf);
    const float dw = iw * scale, dh = ih * scale;
    float x = 0, y = 0;
    if (hf > wf) y = (th - dh) * 0.5f;
    else if (wf > hf) x = (tw - dw) * 0.5f;
    return QRectF(x, y, dw, dh);
}

QImage PostHTTPServerUtilis::scaleImage(const QImage& image, const QSize& size) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0 || size.isEmpty()) return {};
    QImage canvas(size, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    QRectF rect = fittedRect(QSizeF(image.size()), QSizeF(size));
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (image.size() == size) {
        painter.drawImage(QPointF(0, 0), image);
    } else if (std::abs(rect.width() - image.width()) < 0.5 && std::abs(rect.height() - image.height()) < 0.5) {
        painter.drawImage(rect.topLeft(), image);
    } else {
        painter.drawImage(rect, image);
    }
    painter.end();
    return canvas;
}

std::map<std::string, std::string> PostHTTPServerUtilis::parseHTTPURLParamsFromString(const std::string& uri) {
    std::map<std::string, std::string> params;
    auto mark = uri.find('?');
    if (mark == std::string::npos) {
        spdlog::trace("PostHTTPServerUtilis: URL does not have any input param....");
        return params;
    }
    std::string_view query(uri);
    query.remove_prefix(mark + 1);
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view piece = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (piece.empty()) continue;
        auto eq = piece.find('=');
        std::string key(piece.substr(0, eq));
        if (eq == std::string_view::npos) {
            spdlog::trace("PostHTTPServerUtilis: param {} does not have a value", key);
            params[key] = "";
            continue;
        }
        std::string_view raw = piece.substr(eq + 1);
        raw = raw.substr(0, raw.find('='));  // parts after the second are dropped
        if (auto value = percentDecode(raw)) params[key] = *value;
        else params.erase(key);
    }
    return params;
}

std::map<std::string, std::string> PostHTTPServerUtilis::filterLocalAddresses(
    const std::vector<std::pair<std::string, std::string>>& interfaceAddresses) {
    std::map<std::string, std::string> table;
    for (const auto& [name, address] : interfaceAddresses) {
        if (name.empty() || address.rfind("127.0", 0) == 0) continue;
        table[name] = address;
    }
    return table;
}

std::map<std::string, std::string> PostHTTPServerUtilis::getLocalIpAddress() {
    std::vector<std::pair<std::string, std::string>> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
        char text[INET_ADDRSTRLEN] = {};
        auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
        if (!::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
        found.emplace_back(a->ifa_name, text);
    }
    ::freeifaddrs(list);
    return filterLocalAddresses(found);
}
