#pragma once
// Asks the operator whether to send a crash report, as a modal dialog.
#include "kits/blackbox/BBXCrashReportingController.h"

class CrashReportPrompt : public BBXPermissionPrompt {
public:
    static CrashReportPrompt& shared();
    int runPermissionAlert(const std::string& title, const std::string& message,
                           const std::vector<std::string>& buttons) override;
};
