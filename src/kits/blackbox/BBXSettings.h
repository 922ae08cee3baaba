#pragma once
// The crash kit's policy: endpoints, switches, the server's feature flags and
// limits, the beta pause and the permission prompt's texts, from the
// environment, the information dictionary's "Blackbox" dictionary, the
// downloaded settings and built-in defaults.
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

class BBXSettings {
public:
    // `dictionary` is the SDK core's downloaded settings (null when none).
    explicit BBXSettings(nlohmann::json dictionary = nullptr);
    static std::shared_ptr<BBXSettings> initWithDictionary(nlohmann::json dictionary) {
        return std::make_shared<BBXSettings>(std::move(dictionary));
    }

    // The "Blackbox" dictionary of the information dictionary (null when
    // absent or not a dictionary).
    nlohmann::json configuration() const;
    static const nlohmann::json& defaultConfiguration();
    // The environment's "Blackbox<key>", else the configuration's value,
    // else the default (null for an unknown key).
    nlohmann::json valueForConfigurationKey(const std::string& key) const;

    std::string reportsEndpoint() const;
    std::string betaEndpoint() const;
    bool shouldPackageReports() const;
    bool shouldSubmitReports() const;
    bool canProcessUrgentReports() const;

    bool crashReportingEnabled() const;
    bool errorReportingEnabled() const;
    bool customExceptionsEnabled() const { return errorReportingEnabled(); }
    bool userPromptEnabled() const;
    std::uint32_t logBufferSize() const;
    std::uint32_t errorLogBufferSize() const { return logBufferSize(); }
    std::uint32_t maxCustomExceptions() const;
    std::uint32_t maxCustomKeys() const;
    double betaSuspendDuration() const;  // seconds

    std::string interactivePromptTitle() const;
    std::string interactivePromptMessage() const;
    std::string interactivePromptCancelTitle() const;
    std::string interactivePromptSendTitle() const;
    std::string interactivePromptAlwaysSendTitle() const;
    std::string promptValueForSettingsKey(const std::string& settingsKey, const std::string& localizedKey,
                                          const std::string& defaultValue) const;

    const nlohmann::json& settingsDictionary() const { return dictionary_; }

    // Server values size buffers and counts: they are held to these ranges.
    static constexpr std::uint32_t kMinLogBufferSize = 4096;
    static constexpr std::uint32_t kMaxLogBufferSize = 1024 * 1024;
    static constexpr std::uint32_t kMinEntries = 1;
    static constexpr std::uint32_t kMaxCustomExceptions = 128;
    static constexpr std::uint32_t kMaxCustomKeys = 256;
    static constexpr double kMinBetaSuspend = 60;
    static constexpr double kMaxBetaSuspend = 7 * 24 * 3600;

private:
    bool configurationSwitch(const std::string& key, bool fallback) const;
    std::string configurationString(const std::string& key) const;
    const nlohmann::json* settingsValue(const char* section, const char* key) const;
    bool settingsBool(const char* section, const char* key, bool fallback) const;
    std::uint32_t settingsUInt32(const char* section, const char* key, std::uint32_t fallback, std::uint32_t min,
                                 std::uint32_t max) const;

    nlohmann::json dictionary_;
};

// The "Blackbox" string table of the application's resources (an XML
// property list "Blackbox.strings"): the text for `key`, else `fallback`.
std::string BBXLocalizedString(const std::string& key, const std::string& fallback);
