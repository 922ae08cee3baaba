#include "kits/trellis/TRLUtilities.h"
#include <nlohmann/json.hpp>

#include <sys/utsname.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>

#include "base/AppInfo.h"
#include "base/Crypto.h"
#include "base/Files.h"
#include "base/Plist.h"
#include "base/Text.h"

namespace {

std::atomic<bool> gDebug{false};

std::optional<std::string> infoString(const nlohmann::json& info, const char* key) {
    auto it = info.find(key);
    if (it != info.end() && it->is_string()) return it->get<std::string>();
    return std::nullopt;
}

std::string trimmed(const std::string& s) { return base::trim(s); }

std::optional<std::string> readSmallFile(const std::string& path) {
    auto text = base::readFile(path);
    if (!text) return std::nullopt;
    std::string value = trimmed(*text);
    if (value.empty()) return std::nullopt;
    if (value.size() > 127) value.resize(127);  // the size of the classic 128-byte buffer
    return value;
}

// "12", "12.4", "6.1.0-18-amd64" -> up to three leading numbers.
bool parseVersion(const std::string& text, TRLOperatingSystemVersion& out) {
    long parts[3] = {0, 0, 0};
    int count = 0;
    size_t i = 0;
    while (count < 3 && i < text.size() && base::isAsciiDigit(text[i])) {
        long v = 0;
        while (i < text.size() && base::isAsciiDigit(text[i])) {
            v = v * 10 + (text[i] - '0');
            if (v > 1000000) return false;
            ++i;
        }
        parts[count++] = v;
        if (i < text.size() && text[i] == '.') ++i;
        else break;
    }
    if (count == 0) return false;
    out.major = parts[0];
    out.minor = parts[1];
    out.patch = parts[2];
    return true;
}

}  // namespace

bool TRLDebugEnabled() { return gDebug.load(); }
void TRLSetDebugEnabled(bool on) { gDebug.store(on); }

nlohmann::json TRLMainInfoDictionary() { return base::AppInfo::shared().infoDictionary(); }

std::string TRLBundleIdentifierNamespace() {
    std::string id = infoString(TRLMainInfoDictionary(), "CFBundleIdentifier").value_or("");
    for (auto& c : id)
        if (c == '/') c = '_';
    return id;
}

std::optional<std::string> TRLApplicationBuildVersion() {
    return infoString(TRLMainInfoDictionary(), "CFBundleVersion");
}

std::optional<std::string> TRLApplicationDisplayVersion() {
    return infoString(TRLMainInfoDictionary(), "CFBundleShortVersionString");
}

std::optional<std::string> TRLApplicationDisplayName() {
    auto info = TRLMainInfoDictionary();
    if (auto v = infoString(info, "CFBundleDisplayName")) return v;
    if (auto v = infoString(info, "CFBundleName")) return v;
    return infoString(info, "CFBundleVersion");
}

bool TRLApplicationIsFromAppStore() {
    // There is no store receipt on this platform; the version gate keeps the
    // original order of the checks.
    if (TRLHostOperatingSystemVersionCode() < 1070) return false;
    std::error_code ec;
    auto receipt = std::filesystem::path(base::AppInfo::shared().resourcesDir()) / "_MASReceipt" / "receipt";
    return std::filesystem::exists(receipt, ec);
}

bool TRLApplicationSignedForDistribution() {
    auto info = TRLMainInfoDictionary();
    auto it = info.find("BlackboxSignedForDistribution");
    return it != info.end() && it->is_boolean() && it->get<bool>();
}

int TRLApplicationInstallationSource() {
    if (TRLApplicationIsFromAppStore()) return 4;
    if (TRLApplicationSignedForDistribution()) return 3;
    return 1;
}

bool TRLShouldCollectDeviceIdentifiers() {
    auto info = TRLMainInfoDictionary();
    if (auto t = info.find("Trellis"); t != info.end() && t->is_object()) {
        if (auto r = t->find("ReportIdentifiers"); r != t->end() && r->is_boolean()) return r->get<bool>();
    }
    if (auto b = info.find("BlackboxCollectDeviceIdentifiers"); b != info.end() && b->is_boolean())
        return b->get<bool>();
    return true;
}

std::string TRLCreateUUIDString() {
    std::string bytes = base::randomBytes(16);
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    std::string hex = base::hexEncode(bytes, true);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20, 12);
}

std::string TRLUUIDBytesToHexString(const std::uint8_t* uuid16) {
    if (!uuid16) return {};
    char out[33];
    TRLHexEncodeBytes(uuid16, 16, out);
    return out;
}

void TRLHexEncodeByte(std::uint8_t byte, char* out2) {
    static const char kDigits[] = "0123456789abcdef";
    if (!out2) return;
    out2[0] = kDigits[byte >> 4];
    out2[1] = kDigits[byte & 0x0f];
}

void TRLHexEncodeBytes(const void* bytes, std::size_t length, char* out) {
    if (!out) return;
    for (std::size_t i = 0; i < 2 * length + 1; ++i) out[i] = 0;
    if (!bytes) return;
    auto* p = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t i = 0; i < length; ++i) TRLHexEncodeByte(p[i], out + 2 * i);
}

std::string TRLHexStringFromData(std::string_view data) {
    std::string out(2 * data.size() + 1, '\0');
    TRLHexEncodeBytes(data.data(), data.size(), out.data());
    out.pop_back();
    return out;
}

std::string TRLSHA1HexStringFromBytes(const void* bytes, std::size_t length) {
    std::string_view view(bytes ? static_cast<const char*>(bytes) : "", bytes ? length : 0);
    return base::sha1Hex(view);
}

std::string TRLSHA1HexStringFromData(std::string_view data) { return base::sha1Hex(data); }

void TRLEnumerateByteRangesInData(std::string_view data,
                                  const std::function<void(const char*, std::size_t, std::size_t, bool&)>& block) {
    if (!block) return;
    bool stop = false;
    block(data.data(), 0, data.size(), stop);
}

TRLOperatingSystemVersion TRLHostOperatingSystemVersion() {
    TRLOperatingSystemVersion v;
    std::string id;
    if (auto release = base::readFile("/etc/os-release")) {
        size_t pos = 0;
        while (pos < release->size()) {
            size_t end = release->find('\n', pos);
            if (end == std::string::npos) end = release->size();
            std::string line = release->substr(pos, end - pos);
            if (line.rfind("VERSION_ID=", 0) == 0) {
                id = line.substr(11);
                id.erase(std::remove(id.begin(), id.end(), '"'), id.end());
            }
            pos = end + 1;
        }
    }
    if (!id.empty() && parseVersion(id, v)) {
        // Debian names only its major release in os-release; the point release is here.
        TRLOperatingSystemVersion point;
        if (auto deb = readSmallFile("/etc/debian_version"); deb && parseVersion(*deb, point) &&
                                                            point.major == v.major && v.minor == 0)
            v = point;
        return v;
    }
    utsname u{};
    if (::uname(&u) == 0 && parseVersion(u.release, v)) return v;
    return TRLOperatingSystemVersion{};
}

unsigned TRLHostOperatingSystemVersionCode() {
    switch (TRLHostOperatingSystemVersion().minor) {
    case 6: return 1060;
    case 7: return 1070;
    case 8: return 1080;
    case 9: return 1090;
    case 10: return 101000;
    case 11: return 101100;
    default: return 0;
    }
}

std::optional<std::string> TRLHostOSBuildVersion() { return TRLSysctlString("kern.osversion"); }

std::string TRLHostOSDisplayVersion() {
    auto v = TRLHostOperatingSystemVersion();
    char buf[96];
    std::snprintf(buf, sizeof buf, "%ld.%ld.%ld", v.major, v.minor, v.patch);
    return buf;
}

std::optional<std::string> TRLHostModel() { return TRLSysctlString("hw.model"); }

std::optional<std::string> TRLSysctlString(const std::string& name) {
    utsname u{};
    bool haveUname = ::uname(&u) == 0;
    auto cut = [](std::string s) -> std::optional<std::string> {
        if (s.empty()) return std::nullopt;
        if (s.size() > 127) s.resize(127);
        return s;
    };
    if (name == "kern.osversion" || name == "kern.osrelease")
        return haveUname ? cut(u.release) : readSmallFile("/proc/sys/kernel/osrelease");
    if (name == "kern.ostype") return haveUname ? cut(u.sysname) : readSmallFile("/proc/sys/kernel/ostype");
    if (name == "hw.machine") return haveUname ? cut(u.machine) : std::nullopt;
    if (name == "hw.model") {
        if (auto product = readSmallFile("/sys/class/dmi/id/product_name")) return product;
        if (auto board = readSmallFile("/sys/class/dmi/id/board_name")) return board;
        return haveUname ? cut(u.machine) : std::nullopt;
    }
    if (name.rfind("kern.", 0) == 0) {
        std::string leaf = name.substr(5);
        if (leaf.empty() || leaf.find('/') != std::string::npos || leaf.find("..") != std::string::npos)
            return std::nullopt;
        for (auto& c : leaf)
            if (c == '.') c = '/';
        return readSmallFile("/proc/sys/kernel/" + leaf);
    }
    return std::nullopt;
}

std::string TRLObfuscator::obfuscatedDataFromDictionary(const nlohmann::json& dictionary) {
    return base::base64Encode(base::plistToBinary(dictionary));
}

nlohmann::json TRLObfuscator::dictionaryWithObfuscatedData(std::string_view data) {
    if (data.empty()) throw TRLNamedException("InvalidObfuscatedData", "Attempting to deobfuscate nil or empty data.");
    std::string archive = base::base64Decode(data);
    if (archive.empty()) throw TRLNamedException("InvalidObfuscatedData", "Improperly obfuscated data.");
    auto value = base::plistParse(archive);
    if (!value || !value->is_object()) throw TRLNamedException("InvalidObfuscatedData", "Improperly obfuscated data.");
    return *value;
}
