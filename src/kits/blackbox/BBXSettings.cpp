#include "kits/blackbox/BBXSettings.h"

#include <cmath>
#include <cstdlib>

#include "base/AppInfo.h"
#include "base/Log.h"
#include "base/Plist.h"
#include "kits/blackbox/BBXKitSupport.h"
#include "base/Text.h"

namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// A number read as a whole count, held to [min, max]; other types have none.
std::optional<double> numberReading(const nlohmann::json& value) {
    if (value.is_number()) {
        double d = value.get<double>();
        if (std::isfinite(d)) return d;
        return std::nullopt;
    }
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        // A point is the decimal separator whatever the session's locale.
        auto d = base::parseDouble(text);
        if (d && std::isfinite(*d)) return d;
    }
    return std::nullopt;
}

}  // namespace

BBXSettings::BBXSettings(nlohmann::json dictionary) : dictionary_(std::move(dictionary)) {}

nlohmann::json BBXSettings::configuration() const {
    const nlohmann::json info = BBXMainInfoDictionary();
    const nlohmann::json* value = member(info, "Blackbox");
    return value && value->is_object() ? *value : nlohmann::json(nullptr);
}

const nlohmann::json& BBXSettings::defaultConfiguration() {
    static const nlohmann::json defaults = {
        {"ReportsEndpoint", "https://reports.blackbox.invalid"},
        {"BetaEndpoint", "https://api.blackbox.invalid"},
        {"PackageReports", true},
        {"SubmitReports", true},
        {"UrgentReports", true},
    };
    return defaults;
}

nlohmann::json BBXSettings::valueForConfigurationKey(const std::string& key) const {
    const std::string variable = "Blackbox" + key;
    if (const char* env = std::getenv(variable.c_str())) {
        spdlog::info("[Blackbox:Crash] override: '{}' => '{}'", key, env);
        return env;
    }
    const nlohmann::json config = configuration();
    if (const nlohmann::json* value = member(config, key.c_str())) return *value;
    if (const nlohmann::json* value = member(defaultConfiguration(), key.c_str())) return *value;
    return nullptr;
}

bool BBXSettings::configurationSwitch(const std::string& key, bool fallback) const {
    return BBXBooleanReading(valueForConfigurationKey(key)).value_or(fallback);
}

std::string BBXSettings::configurationString(const std::string& key) const {
    nlohmann::json value = valueForConfigurationKey(key);
    if (value.is_string() && !value.get_ref<const std::string&>().empty()) return value.get<std::string>();
    // A value of another type cannot be an address: the built-in one stands.
    return defaultConfiguration()[key].get<std::string>();
}

std::string BBXSettings::reportsEndpoint() const { return configurationString("ReportsEndpoint"); }
std::string BBXSettings::betaEndpoint() const { return configurationString("BetaEndpoint"); }
bool BBXSettings::shouldPackageReports() const { return configurationSwitch("PackageReports", true); }
bool BBXSettings::shouldSubmitReports() const { return configurationSwitch("SubmitReports", true); }
bool BBXSettings::canProcessUrgentReports() const { return configurationSwitch("UrgentReports", true); }

const nlohmann::json* BBXSettings::settingsValue(const char* section, const char* key) const {
    const nlohmann::json* sectionValue = member(dictionary_, section);
    if (!sectionValue) return nullptr;
    return member(*sectionValue, key);
}

bool BBXSettings::settingsBool(const char* section, const char* key, bool fallback) const {
    const nlohmann::json* value = settingsValue(section, key);
    return value ? BBXBooleanReading(*value).value_or(fallback) : fallback;
}

std::uint32_t BBXSettings::settingsUInt32(const char* section, const char* key, std::uint32_t fallback,
                                          std::uint32_t min, std::uint32_t max) const {
    const nlohmann::json* value = settingsValue(section, key);
    if (!value) return fallback;
    auto number = numberReading(*value);
    if (!number) return fallback;
    if (*number <= min) return min;
    if (*number >= max) return max;
    return static_cast<std::uint32_t>(*number);
}

bool BBXSettings::crashReportingEnabled() const { return settingsBool("features", "collect_reports", true); }
bool BBXSettings::errorReportingEnabled() const {
    return settingsBool("features", "collect_logged_exceptions", true);
}
bool BBXSettings::userPromptEnabled() const { return settingsBool("features", "prompt_enabled", false); }

std::uint32_t BBXSettings::logBufferSize() const {
    return settingsUInt32("session", "log_buffer_size", 65536, kMinLogBufferSize, kMaxLogBufferSize);
}
std::uint32_t BBXSettings::maxCustomExceptions() const {
    return settingsUInt32("session", "max_custom_exception_events", 16, kMinEntries, kMaxCustomExceptions);
}
std::uint32_t BBXSettings::maxCustomKeys() const {
    return settingsUInt32("session", "max_custom_key_value_pairs", 16, kMinEntries, kMaxCustomKeys);
}

double BBXSettings::betaSuspendDuration() const {
    const nlohmann::json* value = settingsValue("beta", "update_suspend_duration");
    auto number = value ? numberReading(*value) : std::nullopt;
    if (!number) return 3600;
    if (*number < kMinBetaSuspend) return kMinBetaSuspend;
    if (*number > kMaxBetaSuspend) return kMaxBetaSuspend;
    return *number;
}

std::string BBXSettings::promptValueForSettingsKey(const std::string& settingsKey, const std::string& localizedKey,
                                                   const std::string& defaultValue) const {
    std::string text = defaultValue;
    const nlohmann::json* value = settingsValue("prompt", settingsKey.c_str());
    if (value && value->is_string()) text = value->get<std::string>();
    return BBXLocalizedString(localizedKey, text);
}

std::string BBXSettings::interactivePromptTitle() const {
    return promptValueForSettingsKey("title", "BlackboxCrashSubmissionPromptTitle", "Send Crash Report?");
}
std::string BBXSettings::interactivePromptMessage() const {
    return promptValueForSettingsKey(
        "message", "BlackboxCrashSubmissionPromptMessage",
        "Looks like we crashed! Please help us fix the problem by sending a crash report.");
}
std::string BBXSettings::interactivePromptCancelTitle() const {
    return promptValueForSettingsKey("cancel_button_title", "BlackboxCrashSubmissionCancelTitle", "Don't Send");
}
std::string BBXSettings::interactivePromptSendTitle() const {
    return promptValueForSettingsKey("send_button_title", "BlackboxCrashSubmissionSendTitle", "Send");
}
std::string BBXSettings::interactivePromptAlwaysSendTitle() const {
    return promptValueForSettingsKey("always_send_button_title", "BlackboxCrashSubmissionAlwaysSendTitle",
                                     "Always Send");
}

std::string BBXLocalizedString(const std::string& key, const std::string& fallback) {
    const std::string dir = base::AppInfo::shared().resourcesDir();
    if (dir.empty()) return fallback;
    auto table = base::plistReadFile(dir + "/Blackbox.strings");
    if (!table || !table->is_object()) return fallback;
    auto it = table->find(key);
    if (it == table->end() || !it->is_string()) return fallback;
    return it->get<std::string>();
}
