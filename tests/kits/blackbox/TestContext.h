#pragma once
// One crash context per test program, built once in a temporary report folder.
#include <string>

#include "TempDir.h"
#include "kits/blackbox/BBXContextSetup.h"

namespace blackboxtest {

inline const std::string& reportDir() {
    static testsupport::TempDir dir;
    static bool ready = [] {
        BBXContextInitData input;
        input.apiKey = "0123456789abcdef0123456789abcdef01234567";
        input.reportPath = dir.path().c_str();
        input.sessionId = "SESSION-1";
        input.installId = "INSTALL-1";
        input.errorReportingEnabled = true;
        input.customExceptionsEnabled = true;
        input.maxCustomExceptions = 8;
        input.logBufferSize = 64 * 1024;
        input.maxCustomKeys = 64;
        BBXContextInitialize(&input);
        return true;
    }();
    (void)ready;
    return dir.path();
}

}  // namespace blackboxtest
