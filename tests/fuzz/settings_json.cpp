// The settings the SDK core downloads and keeps as JSON, read by the core
// and handed to the crash kit, and the same bytes as a kit's dictionary.
// fuzz-links: trellis blackbox tally
#include "FuzzSupport.h"
#include "base/Json.h"
#include "kits/blackbox/BBXSettings.h"
#include "kits/tally/BBXAnalyticsController.h"
#include "kits/trellis/TRLSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string path = fuzzsupport::freshFile("settings.json", fuzzsupport::bytes(data, size));
    TRLSettings core(path);
    auto dictionary = core.settingsDictionary();
    core.appSettings();
    core.appStatus();
    core.appNeedsOnboarding();
    core.appUpdateRequired();

    BBXSettings kit(dictionary ? *dictionary : nlohmann::json(nullptr));
    kit.reportsEndpoint();
    kit.betaEndpoint();
    kit.shouldPackageReports();
    kit.shouldSubmitReports();
    kit.canProcessUrgentReports();
    kit.crashReportingEnabled();
    kit.errorReportingEnabled();
    kit.userPromptEnabled();
    kit.logBufferSize();
    kit.maxCustomExceptions();
    kit.maxCustomKeys();
    kit.betaSuspendDuration();
    kit.interactivePromptTitle();
    kit.interactivePromptMessage();
    kit.interactivePromptCancelTitle();
    kit.interactivePromptSendTitle();
    kit.interactivePromptAlwaysSendTitle();

    if (auto parsed = base::parseJson(fuzzsupport::bytes(data, size))) BBXAnalyticsController::supported(*parsed);
    return 0;
}
