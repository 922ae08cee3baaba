#pragma once
// Helpers of the gallery server: settings access, the list of prints, image
// fitting, query parsing and the machine's IPv4 addresses.
#include <QImage>
#include <QRectF>
#include <QSize>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

class PostHTTPServerUtilis {
public:
    // Milliseconds: clients may send far-off dates that nanoseconds cannot hold.
    using TimePoint = std::chrono::sys_time<std::chrono::milliseconds>;

    // Stores the value in the user defaults and writes them at once.
    static void setUserSetting(const nlohmann::json& value, const std::string& key);
    static std::optional<nlohmann::json> getUserSettingForKey(const std::string& key);
    // The setting as text ("" when missing or not text-like).
    static std::string stringSetting(const std::string& key);

    // The prints folder from PHOTO_FOLDER_PATH, without any "file://localhost"
    // or "file://" prefix.
    static std::string printsFolder();

    // The list items of the JPEG files of `dirUrl` (a path or file URL), sorted
    // by name. With a date, files created before it are left out (files without
    // a known creation date are always listed). Hidden names and names that are
    // not UTF-8 are left out. None when the folder cannot be read.
    static std::optional<nlohmann::ordered_json> getListOfImagesAfterDate(
        const std::optional<TimePoint>& date, const std::string& dirUrl);

    // The image fitted into a canvas of `size`, centred on the axis with room
    // to spare, the rest of the canvas black. Null for an invalid image.
    static QImage scaleImage(const QImage& image, const QSize& size);
    // Where scaleImage draws an image of `imageSize` inside `target`.
    static QRectF fittedRect(const QSizeF& imageSize, const QSizeF& target);

    // The query parameters of a URI. Values are percent-decoded; a parameter
    // whose value cannot be decoded is left out.
    static std::map<std::string, std::string> parseHTTPURLParamsFromString(const std::string& uri);

    static bool hasValue(const std::optional<std::string>& value) { return value && !value->empty(); }

    // Interface name to IPv4 address for every address not beginning "127.0".
    static std::map<std::string, std::string> getLocalIpAddress();
    static std::map<std::string, std::string> filterLocalAddresses(
        const std::vector<std::pair<std::string, std::string>>& interfaceAddresses);

    // Strict percent-decoding: none for a malformed escape or bytes that are
    // not UTF-8. "+" stays as it is.
    static std::optional<std::string> percentDecode(std::string_view text);

    // "yyyy-MM-dd'T'HH:mm:ss.A" (A: milliseconds of the day) in local time.
    static std::string formatDate(TimePoint time);
    // The same format read in local time, so that a "DateCreated" sent back
    // names the same moment: the day plus the milliseconds of the day.
    static std::optional<TimePoint> parseStartTime(const std::string& text);
    // The file's creation time (its modification time where the file system
    // keeps no creation time).
    static std::optional<TimePoint> creationDate(const std::string& path);
};
