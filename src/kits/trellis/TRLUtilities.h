#pragma once
// Small helpers the whole SDK shares: the SDK's own identity, application
// information from the information dictionary, UUID strings, hexadecimal and
// SHA-1, host information, and the configuration obfuscator.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

// The SDK's fixed identity.
inline constexpr const char* kTRLSDKBundleIdentifier = "io.trellis.sdk.mac";
inline constexpr const char* kTRLSDKDisplayVersion = "1.6.1";
inline constexpr const char* kTRLSDKBuildVersion = "37";
inline constexpr const char* kTRLPlatformName = "mac";

// An exception the SDK raises for a misconfigured host application
// ("TRLException", "InvalidObfuscatedData"). what() is the reason.
class TRLNamedException : public std::runtime_error {
public:
    TRLNamedException(std::string name, const std::string& reason)
        : std::runtime_error(reason), name_(std::move(name)) {}
    const std::string& name() const { return name_; }
    std::string reason() const { return what(); }

private:
    std::string name_;
};

// Verbose logging switch of the SDK; also turns certificate pinning off.
bool TRLDebugEnabled();
void TRLSetDebugEnabled(bool on);

// The application's information dictionary (resources/Info.plist).
nlohmann::json TRLMainInfoDictionary();

// Application information. nullopt where the dictionary has no value.
std::string TRLBundleIdentifierNamespace();  // "/" replaced by "_"
std::optional<std::string> TRLApplicationBuildVersion();
std::optional<std::string> TRLApplicationDisplayVersion();
std::optional<std::string> TRLApplicationDisplayName();
bool TRLApplicationIsFromAppStore();
bool TRLApplicationSignedForDistribution();
// 4 from the store, 3 signed for distribution, else 1.
int TRLApplicationInstallationSource();
bool TRLShouldCollectDeviceIdentifiers();

// Identifiers and encodings.
std::string TRLCreateUUIDString();  // canonical, upper case, 36 characters
std::string TRLUUIDBytesToHexString(const std::uint8_t* uuid16);  // 32 lower-case digits
void TRLHexEncodeByte(std::uint8_t byte, char* out2);
// Writes 2n digits and a terminator into `out` (2n + 1 characters).
void TRLHexEncodeBytes(const void* bytes, std::size_t length, char* out);
std::string TRLHexStringFromData(std::string_view data);
std::string TRLSHA1HexStringFromBytes(const void* bytes, std::size_t length);
std::string TRLSHA1HexStringFromData(std::string_view data);
// Our data objects are contiguous: the block is called once with everything.
void TRLEnumerateByteRangesInData(std::string_view data,
                                  const std::function<void(const char* bytes, std::size_t offset,
                                                           std::size_t length, bool& stop)>& block);

// Host information.
struct TRLOperatingSystemVersion {
    long major = 10;
    long minor = 0;
    long patch = 0;
};
// From /etc/os-release ("VERSION_ID"), refined by /etc/debian_version, else
// the kernel release, else 10.0.0.
TRLOperatingSystemVersion TRLHostOperatingSystemVersion();
unsigned TRLHostOperatingSystemVersionCode();
std::optional<std::string> TRLHostOSBuildVersion();  // the kernel release
std::string TRLHostOSDisplayVersion();               // "major.minor.patch"
std::optional<std::string> TRLHostModel();            // DMI product name, else the machine
// A named host value ("kern.osversion", "kern.ostype", "hw.model",
// "hw.machine", or any "kern.x" as /proc/sys/kernel/x), at most 127 bytes.
std::optional<std::string> TRLSysctlString(const std::string& name);

// Per-kit configuration stored as Base64 text of a binary property list.
class TRLObfuscator {
public:
    static std::string obfuscatedDataFromDictionary(const nlohmann::json& dictionary);
    // Raises "InvalidObfuscatedData" on empty or undecodable data.
    static nlohmann::json dictionaryWithObfuscatedData(std::string_view data);
};
