#pragma once
// The SDK's remote settings: downloaded at start-up into
// "<Caches>/io.trellis.sdk.mac.data/<bundle identifier>/settings.json",
// read as an immutable snapshot, and announced with
// "TRLSettingsAvailableNotification". A new or changed application is
// registered (onboarded) in the same run.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "base/Error.h"
#include "base/NotificationCenter.h"
#include "kits/trellis/TRLApplicationIdentiferModel.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLNetworkOperation.h"
#include "kits/trellis/TRLOnboardingOperation.h"

inline constexpr const char* kTRLSettingsAvailableNotification = "TRLSettingsAvailableNotification";
inline constexpr const char* kTRLSettingsErrorDomain = "TRLSettingsError";
inline constexpr int kTRLSettingsErrorTooLarge = 1;   // the reply is larger than the cap
inline constexpr int kTRLSettingsErrorNotSaved = 2;   // the file could not be written
inline constexpr std::size_t kTRLSettingsMaximumSize = 1 << 20;

// The settings file, parsed once and cached until cleared.
class TRLSettings {
public:
    explicit TRLSettings(std::string settingsPath);

    // Null when there is no file. A file that is no JSON object is deleted
    // and gives null.
    std::shared_ptr<const nlohmann::json> settingsDictionary();
    void clearSettingsDictionary();

    // Values of the wrong type count as absent.
    std::optional<nlohmann::json> appSettings();
    std::optional<std::string> appStatus();
    bool appNeedsOnboarding();  // status "new"
    bool appUpdateRequired();

    static std::string appBundleIdentifier();
    static std::string appPlatform();
    static std::optional<std::string> appBuildVersion();
    static std::optional<std::string> appDisplayVersion();
    static int appSource();
    static std::string settingsURLForEndpoint(const std::string& endpoint, const std::optional<std::string>& instance,
                                              const std::optional<std::string>& iconHash);

    const std::string& settingsPath() const { return path_; }

private:
    std::string path_;
    std::mutex mutex_;
    std::shared_ptr<const nlohmann::json> cache_;
};

class TRLDownloadAndSaveSettingsOperation;

class TRLDownloadAndSaveSettingsOperationDelegate {
public:
    virtual ~TRLDownloadAndSaveSettingsOperationDelegate() = default;
    virtual void operationDidDownloadAndSaveSettings(TRLDownloadAndSaveSettingsOperation& operation,
                                                     const std::optional<base::Error>& error) = 0;
};

class TRLDownloadAndSaveSettingsOperation : public TRLNetworkOperation {
public:
    TRLDownloadAndSaveSettingsOperation(std::string APIKey,
                                        std::weak_ptr<TRLDownloadAndSaveSettingsOperationDelegate> delegate,
                                        std::string settingsURL, std::string settingsDirectoryPath,
                                        std::string settingsFilePath, std::string installIdentifier,
                                        std::optional<std::string> advertisingToken,
                                        std::weak_ptr<TRLNetworkClient> networkClient);
    void main() override;
    TRLURLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const std::string& url) const;
    std::optional<base::Error> error() const { return error_; }
    const std::optional<std::string>& advertisingToken() const { return advertisingToken_; }

    // Moves a downloaded reply into place: the new file replaces the old by
    // a rename in the same folder, and nothing else stays in the folder.
    static std::optional<base::Error> saveDownloadedFile(const std::string& downloaded, const std::string& directory,
                                                         const std::string& file);

private:
    void complete(std::optional<base::Error> error);

    std::weak_ptr<TRLDownloadAndSaveSettingsOperationDelegate> delegate_;
    std::string settingsURL_;
    std::string directory_;
    std::string file_;
    std::string installIdentifier_;
    std::optional<std::string> advertisingToken_;
    std::weak_ptr<TRLNetworkClient> client_;
    std::optional<base::Error> error_;
};

class TRLSettingsOnboardingManager : public TRLDownloadAndSaveSettingsOperationDelegate,
                                     public TRLOnboardingOperationDelegate,
                                     public std::enable_shared_from_this<TRLSettingsOnboardingManager> {
public:
    struct Options {
        // The roots the client pins; nullopt means the SDK's own eight.
        std::optional<TRLCertificateList> pinnedCertificates;
        // Where the advertising token comes from (the SDK core's field).
        std::function<std::optional<std::string>()> advertisingToken;
        base::NotificationCenter* notificationCenter = nullptr;  // null: the default centre
    };
    TRLSettingsOnboardingManager(std::shared_ptr<TRLApplicationIdentiferModel> model, Options options);
    // Cancels a flow still running.
    ~TRLSettingsOnboardingManager() override;

    void beginSettingsAndOnboardingOperationsWithAPIKey(const std::string& APIKey,
                                                        std::map<std::string, std::string> kitVersions);
    void beginSettingsDownload();
    void beginOnboarding(bool create, const std::string& endpoint);

    std::string settingsURL() const;
    std::optional<std::string> appIconHash() const;
    std::optional<std::string> advertisingToken() const;
    // Null when the bundle identifier cannot name a folder ("", ".", "..",
    // or one holding "/").
    static std::optional<std::string> settingsDirectoryPath();
    std::optional<std::string> settingsPath() const;
    static nlohmann::json configuration();  // the information dictionary's "Blackbox" entry
    static nlohmann::json defaultConfiguration();
    // The environment variable of that name, else "Blackbox" in the
    // information dictionary, else the default.
    static std::string valueForConfigurationKey(const std::string& key);

    void finishNetworkingSession();
    void postSettingsDownloadCompletedNotification();

    // Null when the settings folder cannot be named.
    TRLSettings* settingsModel();
    bool hasAttemptedAppConfigure() const;
    std::shared_ptr<TRLNetworkClient> networkClient() const { return client_; }
    std::shared_ptr<TRLApplicationIdentiferModel> appIdentifierModel() const { return model_; }

    void operationDidDownloadAndSaveSettings(TRLDownloadAndSaveSettingsOperation& operation,
                                             const std::optional<base::Error>& error) override;
    void onboardingOperationDidCompleteAppCreation(TRLOnboardingOperation& operation,
                                                   const std::optional<base::Error>& error) override;
    void onboardingOperationDidCompleteAppUpdate(TRLOnboardingOperation& operation,
                                                 const std::optional<base::Error>& error) override;

private:
    std::shared_ptr<TRLApplicationIdentiferModel> model_;
    Options options_;
    std::shared_ptr<TRLNetworkClient> client_;
    mutable std::mutex mutex_;
    bool hasAttemptedAppConfigure_ = false;
    std::unique_ptr<TRLSettings> settings_;
    bool settingsMade_ = false;
    std::shared_ptr<TRLOnboardingOperation> onboarding_;
    std::string APIKey_;
    std::map<std::string, std::string> kitVersions_;
};
