#include "kits/trellis/TRLSettings.h"
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "base/Files.h"
#include "base/Json.h"
#include "base/Log.h"
#include "kits/trellis/TRLUtilities.h"

namespace fs = std::filesystem;

// ---- the settings file

TRLSettings::TRLSettings(std::string settingsPath) : path_(std::move(settingsPath)) {}

std::shared_ptr<const nlohmann::json> TRLSettings::settingsDictionary() {
    std::lock_guard lock(mutex_);
    if (cache_) return cache_;
    std::error_code ec;
    base::ReadFailure failure;
    auto text = base::readFile(path_, &failure, kTRLSettingsMaximumSize);
    if (!text) {
        if (failure.missing) return nullptr;
        // Moved out of the way: the next download is saved under this name.
        std::string aside = base::setAside(path_);
        spdlog::error("[Trellis] Could not load settings with error: {}{}", failure.why,
                      aside.empty() ? std::string() : " (kept as " + aside + ")");
        return nullptr;
    }
    std::string problem;
    try {
        auto parsed = nlohmann::json::parse(*text);
        if (parsed.is_object()) {
            cache_ = std::make_shared<const nlohmann::json>(std::move(parsed));
            return cache_;
        }
        problem = std::string("the settings are a JSON ") + parsed.type_name() + ", not an object";
    } catch (const nlohmann::json::exception& e) {
        problem = e.what();
    }
    spdlog::error("[Trellis] Could not load settings with error: {}", problem);
    fs::remove(path_, ec);
    return nullptr;
}

void TRLSettings::clearSettingsDictionary() {
    std::lock_guard lock(mutex_);
    cache_.reset();
}

std::optional<nlohmann::json> TRLSettings::appSettings() {
    auto settings = settingsDictionary();
    if (!settings) return std::nullopt;
    if (const auto* app = base::jsonObject(*settings, "app")) return *app;
    return std::nullopt;
}

std::optional<std::string> TRLSettings::appStatus() {
    auto app = appSettings();
    if (!app) return std::nullopt;
    return base::jsonString(*app, "status");
}

bool TRLSettings::appNeedsOnboarding() { return appStatus() == std::optional<std::string>("new"); }

bool TRLSettings::appUpdateRequired() {
    auto app = appSettings();
    if (!app) return false;
    return base::jsonBool(*app, "update_required").value_or(false);
}

std::string TRLSettings::appBundleIdentifier() { return TRLBundleIdentifierNamespace(); }
std::string TRLSettings::appPlatform() { return kTRLPlatformName; }
std::optional<std::string> TRLSettings::appBuildVersion() { return TRLApplicationBuildVersion(); }
std::optional<std::string> TRLSettings::appDisplayVersion() { return TRLApplicationDisplayVersion(); }
int TRLSettings::appSource() { return TRLApplicationInstallationSource(); }

std::string TRLSettings::settingsURLForEndpoint(const std::string& endpoint, const std::optional<std::string>& instance,
                                                const std::optional<std::string>& iconHash) {
    auto b = TRLURLBuilder::URLWithBase(endpoint);
    b.appendComponent("/spi/v2/platforms/");
    b.escapeAndAppendComponent(appPlatform());
    b.appendComponent("/apps/");
    b.escapeAndAppendComponent(appBundleIdentifier());
    b.appendComponent("/settings");
    b.appendValue(appBuildVersion(), "build_version");
    b.appendValue(appDisplayVersion(), "display_version");
    b.appendValue(instance, "instance");
    b.appendValue(iconHash, "icon_hash");
    b.appendValue(appSource(), "source");
    return b.URLString();
}

// ---- download and save

TRLDownloadAndSaveSettingsOperation::TRLDownloadAndSaveSettingsOperation(
    std::string APIKey, std::weak_ptr<TRLDownloadAndSaveSettingsOperationDelegate> delegate, std::string settingsURL,
    std::string settingsDirectoryPath, std::string settingsFilePath, std::string installIdentifier,
    std::optional<std::string> advertisingToken, std::weak_ptr<TRLNetworkClient> networkClient)
    : TRLNetworkOperation(std::move(APIKey)),
      delegate_(std::move(delegate)),
      settingsURL_(std::move(settingsURL)),
      directory_(std::move(settingsDirectoryPath)),
      file_(std::move(settingsFilePath)),
      installIdentifier_(std::move(installIdentifier)),
      client_(std::move(networkClient)) {
    if (TRLShouldCollectDeviceIdentifiers()) {
        advertisingToken_ = std::move(advertisingToken);
    } else if (TRLDebugEnabled()) {
        spdlog::info("[Trellis] Suppressing device identifier reporting");
    }
}

TRLURLRequest TRLDownloadAndSaveSettingsOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const std::string& url) const {
    TRLURLRequest r = TRLNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(url);
    r.method = "GET";
    auto set = [&](const std::optional<std::string>& value, const char* name) {
        if (value) r.setValue(*value, name);
    };
    set(std::string("application/json"), "Accept");
    set(installIdentifier_, "X-Blackbox-Installation-ID");
    set(TRLHostModel(), "X-Blackbox-Device-Model");
    set(TRLHostOSBuildVersion(), "X-Blackbox-OS-Build-Version");
    set(TRLHostOSDisplayVersion(), "X-Blackbox-OS-Display-Version");
    set(std::string(kTRLSDKDisplayVersion), "X-Blackbox-API-Client-Version");
    if (advertisingToken_ && !advertisingToken_->empty()) set(advertisingToken_, "X-Blackbox-Advertising-Token");
    return r;
}

std::optional<base::Error> TRLDownloadAndSaveSettingsOperation::saveDownloadedFile(const std::string& downloaded,
                                                                                  const std::string& directory,
                                                                                  const std::string& file) {
    std::error_code ec;
    auto size = fs::file_size(downloaded, ec);
    if (ec) return base::Error(kTRLSettingsErrorDomain, kTRLSettingsErrorNotSaved, "The downloaded settings are missing.");
    if (size > kTRLSettingsMaximumSize)
        return base::Error(kTRLSettingsErrorDomain, kTRLSettingsErrorTooLarge, "The settings reply is larger than 1 MiB.");
    auto data = base::readFile(downloaded);
    if (!data) return base::Error(kTRLSettingsErrorDomain, kTRLSettingsErrorNotSaved, "The downloaded settings cannot be read.");
    // A file where the folder belongs is cleared away; the folder itself stays.
    if (fs::exists(directory, ec) && !fs::is_directory(directory, ec)) fs::remove(directory, ec);
    fs::create_directories(directory, ec);
    std::string why;
    if (!base::writeFileAtomically(file, *data, &why))
        return base::Error(kTRLSettingsErrorDomain, kTRLSettingsErrorNotSaved, why);
    // The folder holds nothing but the settings file; a write of another
    // process still under way (its temporary file is fresh) is left alone.
    const std::string pending = fs::path(file).filename().string() + ".tmp-";
    auto now = fs::file_time_type::clock::now();
    for (auto it = fs::directory_iterator(directory, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path() == fs::path(file)) continue;
        std::error_code ignored;
        if (it->path().filename().string().rfind(pending, 0) == 0) {
            auto written = fs::last_write_time(it->path(), ignored);
            if (!ignored && now - written < std::chrono::minutes(1)) continue;
        }
        fs::remove_all(it->path(), ignored);
    }
    return std::nullopt;
}

void TRLDownloadAndSaveSettingsOperation::main() {
    auto client = client_.lock();
    if (!client) {
        complete(TRLNetworkResponseHandler::errorForCode(kTRLNetworkErrorNoTask));
        return;
    }
    auto self = std::static_pointer_cast<TRLDownloadAndSaveSettingsOperation>(shared_from_this());
    client->startDownloadTaskWithRequest(
        mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(settingsURL_), 1,
        [self](std::optional<std::string> location, auto, std::optional<base::Error> error) {
            if (error) {
                self->complete(std::move(error));
                return;
            }
            auto saved = location ? saveDownloadedFile(*location, self->directory_, self->file_)
                                  : std::optional<base::Error>(base::Error(kTRLSettingsErrorDomain, kTRLSettingsErrorNotSaved,
                                                                           "No settings were downloaded."));
            if (saved) spdlog::error("[Trellis] Unable to complete settings download {}", saved->localizedDescription());
            self->complete(std::move(saved));
        });
}

void TRLDownloadAndSaveSettingsOperation::complete(std::optional<base::Error> error) {
    error_ = error;
    if (auto delegate = delegate_.lock()) delegate->operationDidDownloadAndSaveSettings(*this, error);
    finish();
}

// ---- the flow

TRLSettingsOnboardingManager::TRLSettingsOnboardingManager(std::shared_ptr<TRLApplicationIdentiferModel> model,
                                                           Options options)
    : model_(std::move(model)), options_(std::move(options)) {
    client_ = TRLNetworkClient::create(nullptr, options_.pinnedCertificates ? *options_.pinnedCertificates
                                                                            : TRLPinnedCertificates());
}

TRLSettingsOnboardingManager::~TRLSettingsOnboardingManager() { finishNetworkingSession(); }

void TRLSettingsOnboardingManager::beginSettingsAndOnboardingOperationsWithAPIKey(
    const std::string& APIKey, std::map<std::string, std::string> kitVersions) {
    {
        std::lock_guard lock(mutex_);
        APIKey_ = APIKey;
        kitVersions_ = std::move(kitVersions);
    }
    beginSettingsDownload();
}

void TRLSettingsOnboardingManager::beginSettingsDownload() {
    auto directory = settingsDirectoryPath();
    std::string key;
    {
        std::lock_guard lock(mutex_);
        key = APIKey_;
    }
    auto op = std::make_shared<TRLDownloadAndSaveSettingsOperation>(
        key, weak_from_this(), settingsURL(), directory.value_or(""), settingsPath().value_or(""),
        model_ ? model_->installID() : std::string(), advertisingToken(), client_);
    if (!directory) {
        // Without a folder of its own the reply could not be kept.
        spdlog::error("[Trellis] failed to download settings: the bundle identifier \"{}\" cannot name a folder",
                      base::jsonString(TRLMainInfoDictionary(), "CFBundleIdentifier").value_or(""));
        operationDidDownloadAndSaveSettings(
            *op, base::Error(kTRLSettingsErrorDomain, kTRLSettingsErrorNotSaved, "No folder for the settings."));
        return;
    }
    op->start();
}

void TRLSettingsOnboardingManager::beginOnboarding(bool create, const std::string& endpoint) {
    std::shared_ptr<TRLOnboardingOperation> op;
    {
        std::lock_guard lock(mutex_);
        if (onboarding_) onboarding_->cancel();
        onboarding_ = op = std::make_shared<TRLOnboardingOperation>(weak_from_this(), create, APIKey_, kitVersions_,
                                                                    model_, endpoint, client_);
    }
    op->start();
}

std::string TRLSettingsOnboardingManager::settingsURL() const {
    return TRLSettings::settingsURLForEndpoint(valueForConfigurationKey("SettingsEndpoint"),
                                               model_ ? std::optional<std::string>(model_->instanceIdentifier())
                                                      : std::nullopt,
                                               appIconHash());
}

std::optional<std::string> TRLSettingsOnboardingManager::appIconHash() const {
    if (!model_ || !model_->icon()) return std::nullopt;
    return model_->icon()->dataHash();
}

std::optional<std::string> TRLSettingsOnboardingManager::advertisingToken() const {
    return options_.advertisingToken ? options_.advertisingToken() : std::nullopt;
}

std::optional<std::string> TRLSettingsOnboardingManager::settingsDirectoryPath() {
    auto info = TRLMainInfoDictionary();
    auto it = info.find("CFBundleIdentifier");
    if (it == info.end() || !it->is_string()) return std::nullopt;
    std::string id = it->get<std::string>();
    // The folder is deleted and rebuilt: it must be one plain name.
    if (id.empty() || id == "." || id == ".." || id.find('/') != std::string::npos || id.find('\0') != std::string::npos)
        return std::nullopt;
    return base::cacheHome() + "/" + kTRLSDKBundleIdentifier + ".data/" + id;
}

std::optional<std::string> TRLSettingsOnboardingManager::settingsPath() const {
    auto dir = settingsDirectoryPath();
    if (!dir) return std::nullopt;
    return *dir + "/settings.json";
}

nlohmann::json TRLSettingsOnboardingManager::configuration() {
    auto info = TRLMainInfoDictionary();
    auto it = info.find("Blackbox");
    if (it != info.end() && it->is_object()) return *it;
    return nlohmann::json::object();
}

nlohmann::json TRLSettingsOnboardingManager::defaultConfiguration() {
    // No real service stands behind these: a deployment names its own.
    return {{"SettingsEndpoint", "https://settings.trellis.invalid"},
            {"ConfigureEndpoint", "https://api.trellis.invalid"}};
}

std::string TRLSettingsOnboardingManager::valueForConfigurationKey(const std::string& key) {
    if (const char* env = std::getenv(key.c_str()); env && *env) return env;
    if (auto v = base::jsonString(configuration(), key)) return *v;
    return base::jsonString(defaultConfiguration(), key).value_or("");
}

void TRLSettingsOnboardingManager::finishNetworkingSession() {
    if (client_) client_->invalidateAndCancel();
}

void TRLSettingsOnboardingManager::postSettingsDownloadCompletedNotification() {
    if (TRLDebugEnabled()) spdlog::info("[Trellis] Settings are available for consumption");
    base::NotificationCenter& center =
        options_.notificationCenter ? *options_.notificationCenter : base::NotificationCenter::defaultCenter();
    center.post(kTRLSettingsAvailableNotification);
}

TRLSettings* TRLSettingsOnboardingManager::settingsModel() {
    std::lock_guard lock(mutex_);
    if (!settingsMade_) {
        settingsMade_ = true;
        if (auto path = settingsPath()) settings_ = std::make_unique<TRLSettings>(*path);
    }
    return settings_.get();
}

bool TRLSettingsOnboardingManager::hasAttemptedAppConfigure() const {
    std::lock_guard lock(mutex_);
    return hasAttemptedAppConfigure_;
}

void TRLSettingsOnboardingManager::operationDidDownloadAndSaveSettings(TRLDownloadAndSaveSettingsOperation&,
                                                                       const std::optional<base::Error>& error) {
    if (error) {
        spdlog::error("[Trellis] failed to download settings {}", error->localizedDescription());
        finishNetworkingSession();
        return;
    }
    if (TRLDebugEnabled()) spdlog::info("[Trellis] settings downloaded successfully");
    TRLSettings* settings = settingsModel();
    if (settings) settings->clearSettingsDictionary();
    bool attempted;
    {
        std::lock_guard lock(mutex_);
        attempted = hasAttemptedAppConfigure_;
    }
    if (attempted) {
        if (TRLDebugEnabled()) spdlog::info("[Trellis] App already onboarded in this run of the app");
        postSettingsDownloadCompletedNotification();
        finishNetworkingSession();
        return;
    }
    if (settings && settings->appNeedsOnboarding()) {
        if (TRLDebugEnabled()) spdlog::info("[Trellis] Starting onboarding with app create");
        {
            std::lock_guard lock(mutex_);
            hasAttemptedAppConfigure_ = true;
        }
        beginOnboarding(true, valueForConfigurationKey("ConfigureEndpoint"));
        return;
    }
    postSettingsDownloadCompletedNotification();
    if (settings && settings->appUpdateRequired()) {
        if (TRLDebugEnabled()) spdlog::info("[Trellis] Starting onboarding with app update");
        {
            std::lock_guard lock(mutex_);
            hasAttemptedAppConfigure_ = true;
        }
        beginOnboarding(false, valueForConfigurationKey("ConfigureEndpoint"));
    } else {
        finishNetworkingSession();
    }
}

void TRLSettingsOnboardingManager::onboardingOperationDidCompleteAppCreation(TRLOnboardingOperation&,
                                                                             const std::optional<base::Error>& error) {
    if (error) {
        spdlog::error("[Trellis] unable to complete application configure: {}", error->localizedDescription());
        finishNetworkingSession();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        onboarding_.reset();
    }
    if (TRLDebugEnabled()) spdlog::info("[Trellis] completed configure");
    beginSettingsDownload();
}

void TRLSettingsOnboardingManager::onboardingOperationDidCompleteAppUpdate(TRLOnboardingOperation&,
                                                                           const std::optional<base::Error>& error) {
    finishNetworkingSession();
    if (error) {
        spdlog::error("[Trellis] unable to complete application update: {}", error->localizedDescription());
        return;
    }
    {
        std::lock_guard lock(mutex_);
        onboarding_.reset();
    }
    if (TRLDebugEnabled()) spdlog::info("[Trellis] completed application update");
}
