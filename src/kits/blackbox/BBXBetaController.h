#pragma once
// Asks the crash service whether a newer test build is available, for builds
// signed for distribution that carry a beta token.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/Error.h"
#include "base/NotificationCenter.h"
#include "base/Scheduler.h"
#include "kits/trellis/TRLCertificatePinner.h"

class BBXBetaController;
class BBXSettings;
class TRLNetworkClient;

class BBXBetaControllerDelegate {
public:
    virtual ~BBXBetaControllerDelegate() = default;
    virtual std::string APIKeyForBetaController(BBXBetaController& controller) = 0;
    virtual std::shared_ptr<BBXSettings> settingsForBetaController(BBXBetaController& controller) = 0;
};

// An offered build: where it is and its version.
struct BBXBetaUpdate {
    std::string url;
    std::string version;
    // Null (and `error` set) unless the object has an https "url".
    static std::shared_ptr<BBXBetaUpdate> betaUpdateWithDictionary(const nlohmann::json& object, base::Error* error);
    std::string promptTitle() const;
    std::string promptMessage() const;
    std::string cancelLabel() const;
    std::string installLabel() const;
};

class BBXBetaController {
public:
    struct Environment {
        // Gives the beta token; none in this application.
        std::function<std::optional<std::string>()> tokenSource;
        base::Scheduler* scheduler = nullptr;
        base::Executor* mainQueue = nullptr;
        std::optional<TRLCertificateList> pinnedCertificates;
    };
    static bool isBetaSupported();
    explicit BBXBetaController(BBXBetaControllerDelegate* delegate) : BBXBetaController(delegate, Environment()) {}
    BBXBetaController(BBXBetaControllerDelegate* delegate, Environment environment);
    ~BBXBetaController();

    // False without a beta token; otherwise checks after each settings download.
    bool start();
    void trellisSettingsDownloaded() { checkForUpdate(); }
    // The same check when the application comes back to the front.
    void applicationWillEnterForeground() { checkForUpdate(); }
    void applicationWillEnterForeground(const base::Notification&) { checkForUpdate(); }
    void checkForUpdate();
    std::optional<std::string> betaToken();
    std::optional<std::string> betaUpdateURL();
    std::string checkURL();
    std::shared_ptr<BBXBetaUpdate> activeUpdate();
    bool checksSuspended() const;
    // Called once a check ends: the offer, or an error.
    void setCompletionObserver(std::function<void(std::shared_ptr<BBXBetaUpdate>, std::optional<base::Error>)> observer);

private:
    void handleReply(const std::optional<std::string>& data, const std::optional<base::Error>& error);
    void temporarilySuspendChecks();

    BBXBetaControllerDelegate* delegate_;
    Environment environment_;
    std::shared_ptr<TRLNetworkClient> client_;
    base::SerialQueue queue_{"io.blackbox.mac.beta"};
    mutable std::mutex mutex_;
    bool tokenRead_ = false;
    std::optional<std::string> token_;
    bool checksSuspended_ = false;
    bool retrying_ = false;
    std::shared_ptr<BBXBetaUpdate> activeUpdate_;
    std::optional<base::NotificationCenter::ObserverId> observer_;
    std::optional<base::Scheduler::TimerId> timer_;
    std::function<void(std::shared_ptr<BBXBetaUpdate>, std::optional<base::Error>)> completionObserver_;
};
