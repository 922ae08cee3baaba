#include "kits/trellis/Trellis.h"

#include <algorithm>

#include "base/Log.h"
#include "base/Text.h"

namespace {
TRLNamedException trellisException(const std::string& reason) { return TRLNamedException("TRLException", reason); }

std::string lowerNoDashes(std::string uuid) {
    uuid.erase(std::remove(uuid.begin(), uuid.end(), '-'), uuid.end());
    return base::toLowerAscii(uuid);
}
}  // namespace

Trellis& Trellis::sharedSDK() {
    static Trellis* shared = new Trellis();
    return *shared;
}

Trellis& Trellis::with(const std::vector<std::string>& kitClassNames) {
    Trellis& sdk = sharedSDK();
    sdk.startWithKits(kitClassNames);
    return sdk;
}

Trellis::Trellis() : Trellis(Environment{}) {}

Trellis::Trellis(Environment environment) {
    BBXUserDefaults& defaults = environment.defaults ? *environment.defaults : BBXUserDefaults::standardUserDefaults();
    auto stored = defaults.objectForKeyByMigratingFromNSUserDefaults(kTRLInstallationIdentifierKey);
    if (stored && stored->is_string() && !stored->get<std::string>().empty()) {
        installID_ = stored->get<std::string>();
    } else {
        isFirstInstall_ = true;
        installID_ = TRLCreateUUIDString();
        defaults.setString(installID_, kTRLInstallationIdentifierKey);
        defaults.synchronize();
    }
    executionIdentifier_ = lowerNoDashes(TRLCreateUUIDString());
    model_ = TRLApplicationIdentiferModel::create(installID_, environment.executablePath);
    auto settingsOptions = environment.settings;
    if (!settingsOptions.advertisingToken) {
        settingsOptions.advertisingToken = [box = advertisingToken_]() -> std::optional<std::string> {
            std::lock_guard lock(box->mutex);
            return box->token;
        };
    }
    manager_ = std::make_shared<TRLSettingsOnboardingManager>(model_, std::move(settingsOptions));
}

Trellis::~Trellis() {
    // Only instances made for a purpose end; their flow ends with them.
    if (manager_) manager_->finishNetworkingSession();
}

void Trellis::startWithKits(const std::vector<std::string>& kitClassNames) {
    {
        std::lock_guard lock(mutex_);
        if (started_) return;
        // Also a start that stops early (no key, a bad kit) is not tried again.
        started_ = true;
    }
    if (!APIKey()) return;

    std::vector<TRLKitDescriptor> kits;
    auto listed = [&](const std::string& name) {
        return std::any_of(kits.begin(), kits.end(), [&](auto& k) { return k.className == name; });
    };
    for (const auto& name : kitClassNames) {
        auto kit = TRLKitRegistry::kitNamed(name);
        if (kit && kit->isValidTRLKit()) {
            if (!listed(name)) kits.push_back(*kit);
            continue;
        }
        if (kit && kit->sharedInstance) {
            spdlog::warn("[Trellis] Please upgrade to the latest version of \"{}\"", name);
            if (kit->isValidLegacyKit()) {
                if (!listed(name)) kits.push_back(*kit);
                continue;
            }
        }
        throw trellisException("[Trellis] It appears that \"" + name +
                               "\" is not a valid Trellis Kit. Please make sure you only pass Trellis Kits to "
                               "[Trellis with:].");
    }
    if (auto beacon = TRLKitRegistry::kitNamed("Beacon"); beacon && !listed("Beacon")) kits.push_back(*beacon);
    if (TRLKitRegistry::kitNamed("Blackbox") && listed("Blackbox") && !listed("Tally")) {
        if (auto tally = TRLKitRegistry::kitNamed("Tally"); tally && tally->isValidTRLKit()) kits.push_back(*tally);
    }
    {
        std::lock_guard lock(mutex_);
        kits_ = kits;
    }
    for (const auto& kit : kits) initializeKit(kit);
    onboardAppAndDownloadSettings();
}

void Trellis::initializeKit(const TRLKitDescriptor& kit) {
    if (!kit.isValidTRLKit()) {
        if (kit.isValidLegacyKit()) kit.sharedInstance->start();
        return;
    }
    if (kit.initializeIfNeeded) kit.initializeIfNeeded();
}

std::map<std::string, std::string> Trellis::kitVersionsByKitBundleIdentifier() const {
    std::map<std::string, std::string> versions;
    std::vector<TRLKitDescriptor> kits;
    {
        std::lock_guard lock(mutex_);
        kits = kits_;
    }
    for (const auto& kit : kits) {
        if (kit.isValidTRLKit()) versions[kit.bundleIdentifier()] = kit.kitDisplayVersion();
        else if (kit.isValidLegacyKit()) versions[kit.sharedInstance->bundleIdentifier()] = kit.sharedInstance->version();
    }
    versions[kTRLSDKBundleIdentifier] = kTRLSDKDisplayVersion;
    if (TRLDebugEnabled()) {
        std::string text;
        for (auto& [id, v] : versions) text += (text.empty() ? "" : ", ") + id + " = " + v;
        spdlog::info("[Trellis] Initialized with kit versions: {{{}}}", text);
    }
    return versions;
}

void Trellis::onboardAppAndDownloadSettings() {
    auto key = APIKey();
    if (!key) return;
    manager_->beginSettingsAndOnboardingOperationsWithAPIKey(*key, kitVersionsByKitBundleIdentifier());
}

std::optional<std::string> Trellis::APIKey() {
    {
        std::lock_guard lock(mutex_);
        if (APIKey_) return APIKey_;
    }
    auto config = trellisConfig();
    if (auto it = config.find("APIKey"); it != config.end() && it->is_string()) {
        std::lock_guard lock(mutex_);
        APIKey_ = it->get<std::string>();
        return APIKey_;
    }
    spdlog::error("[Trellis] Trellis API Key is nil! Trellis won't work unless there is a valid API Key setup in "
                  "Info.plist");
    return std::nullopt;
}

void Trellis::setAPIKey(const std::optional<std::string>& key) {
    std::lock_guard lock(mutex_);
    APIKey_ = key;
}

std::optional<std::string> Trellis::advertisingToken() const {
    std::lock_guard lock(advertisingToken_->mutex);
    return advertisingToken_->token;
}

void Trellis::setAdvertisingToken(const std::optional<std::string>& token) {
    std::lock_guard lock(advertisingToken_->mutex);
    advertisingToken_->token = token;
}

std::vector<std::string> Trellis::kitClasses() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (auto& k : kits_) names.push_back(k.className);
    return names;
}

std::optional<std::string> Trellis::instanceIdentifier() const {
    if (!model_) return std::nullopt;
    return model_->instanceIdentifier();
}

std::shared_ptr<const nlohmann::json> Trellis::settings() {
    TRLSettings* model = manager_->settingsModel();
    return model ? model->settingsDictionary() : nullptr;
}

nlohmann::json Trellis::trellisConfig() {
    {
        std::lock_guard lock(mutex_);
        if (trellisConfig_) return *trellisConfig_;
    }
    auto config = validTrellisConfigFromInfoPlist(TRLMainInfoDictionary());
    std::lock_guard lock(mutex_);
    trellisConfig_ = config;
    return config;
}

nlohmann::json Trellis::validTrellisConfigFromInfoPlist(const nlohmann::json& infoPlist) {
    if (!infoPlist.is_object() || infoPlist.empty()) throw trellisException("[Trellis] Cannot find Info.plist.");
    auto it = infoPlist.find("Trellis");
    if (it == infoPlist.end() || !it->is_object())
        throw trellisException("[Trellis] Value of Info.plist key \"Trellis\" must be a NSDictionary.");
    const auto& config = *it;
    if (auto kits = config.find("Kits"); kits == config.end() || !kits->is_array())
        spdlog::warn("[Trellis] [Trellis] Value of Info.plist[Trellis][Kits] should be a NSArray.");
    if (auto key = config.find("APIKey"); key == config.end() || !key->is_string())
        throw trellisException("[Trellis] Value of Info.plist[Trellis][APIKey] must contain your Trellis API Key.");
    return config;
}

std::optional<nlohmann::json> Trellis::configurationDictionaryForKitClass(const std::string& className) {
    auto config = trellisConfig();
    auto kits = config.find("Kits");
    if (kits == config.end() || !kits->is_array()) return std::nullopt;
    for (const auto& entry : *kits) {
        if (!entry.is_object()) continue;
        auto name = entry.find("KitName");
        if (name == entry.end() || !name->is_string() || name->get<std::string>() != className) continue;
        nlohmann::json result = nlohmann::json::object();
        if (auto obfuscated = entry.find("ObfuscatedKitInfo"); obfuscated != entry.end()) {
            std::string data;
            if (obfuscated->is_binary()) data.assign(obfuscated->get_binary().begin(), obfuscated->get_binary().end());
            else if (obfuscated->is_string()) data = obfuscated->get<std::string>();
            result = TRLObfuscator::dictionaryWithObfuscatedData(data);
        }
        if (auto info = entry.find("KitInfo"); info != entry.end() && info->is_object())
            for (auto& [k, v] : info->items()) result[k] = v;
        return result;
    }
    return std::nullopt;
}
