#include "kits/blackbox/BBXException.h"

#include <signal.h>

#include <cstdio>
#include <ctime>
#include <exception>

#include "base/Log.h"
#include "kits/blackbox/BBXApplication.h"
#include "kits/blackbox/BBXBinaryImages.h"
#include "kits/blackbox/BBXContextSetup.h"
#include "kits/blackbox/BBXUserLogging.h"
#include "kits/blackbox/crashtime/BBXCapture.h"

void BBXExceptionRecord(std::uint32_t type, const std::string& name, const std::string& reason,
                        const std::vector<BBXStackFrame>& frames, bool attemptDelivery) {
    if (!BBXContextIsInitialized()) return;
    bool crash = type == BBXExceptionTypeObjectiveC || type == BBXExceptionTypeCpp;
    BBXSDKLog("%s: Recording an exception structure (%d, %d)\n", __func__, attemptDelivery ? 1 : 0, crash ? 1 : 0);
    if (crash) {
        // Recorded on the crashing thread: the process is ending.
        BBXExceptionRecordCrash(type, name.c_str(), reason.c_str());
        return;
    }
    // Libraries opened since the last loader call, so their frames can be named.
    if (!frames.empty()) BBXBinaryImageRescan();
    std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
    BBXUserLoggingWriteAndCheckABFiles(
        &bbxContext->customExceptionsStore, &bbxWritableContext->logging.customExceptionsCurrent, [&](BBXFile* file) {
            BBXFileWriteSectionStart(file, "exception");
            BBXFileWriteHashStart(file);
            BBXFileWriteHashEntryString(file, "type", BBXExceptionTypeName(type));
            BBXFileWriteHashEntryHexEncodedString(file, "name", name.data(), name.size());
            BBXFileWriteHashEntryHexEncodedString(file, "reason", reason.data(), reason.size());
            BBXFileWriteHashEntryUint64(file, "time", now);
            if (!frames.empty()) {
                BBXFileWriteHashKey(file, "frames");
                BBXFileWriteArrayStart(file);
                for (const auto& f : frames) {
                    BBXFileWriteHashStart(file);
                    BBXFileWriteHashEntryUint64(file, "pc", f.address);
                    if (f.symbol) BBXFileWriteHashEntryHexEncodedString(file, "symbol", f.symbol->data(), f.symbol->size());
                    BBXFileWriteHashEntryUint64(file, "offset", f.offset);
                    if (f.library)
                        BBXFileWriteHashEntryHexEncodedString(file, "library", f.library->data(), f.library->size());
                    if (f.fileName)
                        BBXFileWriteHashEntryHexEncodedString(file, "file", f.fileName->data(), f.fileName->size());
                    BBXFileWriteHashEntryUint64(file, "line", f.lineNumber);
                    BBXFileWriteHashEnd(file);
                }
                BBXFileWriteArrayEnd(file);
            }
            BBXFileWriteHashEnd(file);
            BBXFileWriteSectionEnd(file);
        });
    BBXSDKLog("%s: Finished recording an exception structure\n", __func__);
}

void BBXExceptionCheckHandlers() {
    if (const BBXSharedApplication* application = BBXApplicationSharedApplication();
        application && !application->crashOnExceptions()) {
        spdlog::warn(
            "[Blackbox:Crash] Warning: NSApplicationCrashOnExceptions is not set. This will result in poor top-level "
            "uncaught exception reporting.");
    }
    if (!bbxContext || bbxContext->debuggerAttached) return;
    std::terminate_handler current = std::get_terminate();
    if (current != BBXTerminateHandler) {
        BBXDladdrLookup(reinterpret_cast<const void*>(current), [](const char* symbol, const char* image) {
            spdlog::warn("[Blackbox:Crash] Warning: std::get_terminate is '{}' in '{}'", symbol ? symbol : "unknown",
                         image ? image : "unknown");
        });
    }
}

void BBXSignalCheckHandlers() {
    if (!bbxContext || bbxContext->debuggerAttached) return;
    for (int signal : BBXHandledSignals) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) != 0) {
            std::fputs("Unable to read signal handler\n", stderr);
            continue;
        }
        if ((action.sa_flags & SA_SIGINFO) && action.sa_sigaction == BBXSignalHandler) continue;
        std::string symbol = "unknown";
        BBXDladdrLookup(reinterpret_cast<const void*>(action.sa_handler),
                        [&](const char* s, const char*) { symbol = s ? s : "unknown"; });
        std::fprintf(stderr, "[Blackbox] The signal %s has a non-Blackbox handler (%s).  This will interfer with reporting.\n",
                     BBXSignalNameForNumber(signal), symbol.c_str());
    }
}

void BBXMachExceptionCheckHandlers() {}

void BBXExceptionRaiseTestCppException() { throw "Blackbox C++ Test Exception"; }
