#pragma once
// The SDK core: starts the kits once, owns the identifiers every kit stamps
// on its data (installation, execution, build instance), remembers the API
// key, and hands the settings download and onboarding to its manager.
//
// Misconfiguration of the host application raises TRLNamedException named
// "TRLException" (no "Trellis" dictionary, no API key string, a kit that is
// no kit) as the start-up's contract; nothing inside the SDK catches it.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kits/trellis/BBXUserDefaults.h"
#include "kits/trellis/TRLApplicationIdentiferModel.h"
#include "kits/trellis/TRLKit.h"
#include "kits/trellis/TRLSettings.h"
#include "kits/trellis/TRLUtilities.h"

inline constexpr const char* kTRLInstallationIdentifierKey = "io.blackbox.iuuid";

class Trellis {
public:
    // What an instance is made with; the shared one uses the defaults.
    struct Environment {
        BBXUserDefaults* defaults = nullptr;   // null: the standard store
        std::string executablePath;            // empty: the running program
        TRLSettingsOnboardingManager::Options settings;
    };

    static Trellis& sharedSDK();
    // Starts the named kits (registered in TRLKitRegistry) once per process
    // and returns the shared instance, also on every later call.
    static Trellis& with(const std::vector<std::string>& kitClassNames);

    Trellis();
    explicit Trellis(Environment environment);
    ~Trellis();
    Trellis(const Trellis&) = delete;
    Trellis& operator=(const Trellis&) = delete;

    // The start sequence of this instance; runs once, later calls do nothing.
    void startWithKits(const std::vector<std::string>& kitClassNames);

    std::optional<std::string> APIKey();
    void setAPIKey(const std::optional<std::string>& key);
    const std::string& installID() const { return installID_; }
    bool isFirstInstall() const { return isFirstInstall_; }
    const std::string& executionIdentifier() const { return executionIdentifier_; }
    std::optional<std::string> advertisingToken() const;
    void setAdvertisingToken(const std::optional<std::string>& token);
    bool debug() const { return TRLDebugEnabled(); }
    void setDebug(bool on) { TRLSetDebugEnabled(on); }
    std::vector<std::string> kitClasses() const;
    std::optional<std::string> instanceIdentifier() const;

    // The parsed settings file of the latest download (maybe an earlier
    // run's); null when there is none. An immutable snapshot.
    std::shared_ptr<const nlohmann::json> settings();

    // Per-kit configuration from the information dictionary; nullopt when
    // the kit has no "Kits" entry.
    std::optional<nlohmann::json> configurationDictionaryForKitClass(const std::string& className);

    std::map<std::string, std::string> kitVersionsByKitBundleIdentifier() const;
    void initializeKit(const TRLKitDescriptor& kit);
    void onboardAppAndDownloadSettings();
    // The validated "Trellis" dictionary (raises on a misconfiguration).
    nlohmann::json trellisConfig();
    static nlohmann::json validTrellisConfigFromInfoPlist(const nlohmann::json& infoPlist);

    std::shared_ptr<TRLSettingsOnboardingManager> settingsAndOnboardingManager() const { return manager_; }
    std::shared_ptr<TRLApplicationIdentiferModel> applicationIdentifierModel() const { return model_; }

private:
    mutable std::mutex mutex_;
    bool started_ = false;
    bool isFirstInstall_ = false;
    std::string installID_;
    std::string executionIdentifier_;
    std::optional<std::string> APIKey_;
    // Shared with the settings manager, which may read it from its own queue.
    struct TokenBox {
        std::mutex mutex;
        std::optional<std::string> token;
    };
    std::shared_ptr<TokenBox> advertisingToken_ = std::make_shared<TokenBox>();
    std::vector<TRLKitDescriptor> kits_;
    std::optional<nlohmann::json> trellisConfig_;
    std::shared_ptr<TRLApplicationIdentiferModel> model_;
    std::shared_ptr<TRLSettingsOnboardingManager> manager_;
};
