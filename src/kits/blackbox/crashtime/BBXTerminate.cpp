// The terminate handler: records the exception being thrown, then lets the
// previous handler and abort end the process. Built with exceptions and RTTI
// (it rethrows to learn the exception's kind); everything else it calls is
// async-signal-safe.
#include <cxxabi.h>

#include <exception>
#include <string>
#include <typeinfo>

#include "BBXCapture.h"

namespace {

char typeName[512];
char reasonText[1024];

void copyText(const char* text, char* out, size_t size) {
    size_t n = 0;
    if (text)
        for (; text[n] && n + 1 < size; ++n) out[n] = text[n];
    out[n] = 0;
}

void recordActiveException() {
    std::type_info* type = abi::__cxa_current_exception_type();
    if (!type) {
        BBXSDKLog("%s: no active exception\n", "BBXCatchAndRecordActiveException");
        return;
    }
    const char* mangled = type->name();
    if (!mangled) {
        BBXSDKLog("%s: Error: invalid parameter\n", "BBXCatchAndRecordActiveException");
        return;
    }
    BBXSDKLog("%s: Recording exception of type '%s'\n", "BBXCatchAndRecordActiveException", mangled);
    if (!BBXDemangleTypeName(mangled, typeName, sizeof typeName)) copyText(mangled, typeName, sizeof typeName);
    reasonText[0] = 0;
    try {
        throw;
    } catch (const char* text) {
        copyText(text, reasonText, sizeof reasonText);
    } catch (const std::string& text) {
        copyText(text.c_str(), reasonText, sizeof reasonText);
    } catch (const std::exception& e) {
        copyText(e.what(), reasonText, sizeof reasonText);
    } catch (const std::exception* e) {
        copyText(e ? e->what() : nullptr, reasonText, sizeof reasonText);
    } catch (...) {
    }
    BBXExceptionRecordCrash(2, typeName, reasonText);
}

}  // namespace

bool BBXExceptionInitialize(BBXExceptionStore* store, uint32_t* customExceptionsCounter) {
    if (!store) return false;
    if (!BBXUnlinkIfExists(store->path))
        BBXSDKLog("%s: Unable to reset the exception file %s\n", __func__, BBXErrnoText(0));
    store->previousTerminateHandler = std::set_terminate(BBXTerminateHandler);
    // User logging's set-up clears the same counter, on another of the
    // set-up group's threads.
    if (customExceptionsCounter) __atomic_store_n(customExceptionsCounter, 0, __ATOMIC_RELAXED);
    return true;
}

void BBXTerminateHandler() {
    BBXSDKLog("%s: C++ terminate handler invoked\n", __func__);
    BBXTerminateHandlerFn previous = bbxContext ? bbxContext->exceptionStore.previousTerminateHandler : nullptr;
    if (previous == BBXTerminateHandler) {
        BBXSDKLog("%s: Error: original handler was set recursively\n", __func__);
        previous = nullptr;
    } else if (previous) {
        BBXSDKLog("%s: restoring pre-existing handler\n", __func__);
        if (std::set_terminate(previous) == previous) {
            BBXSDKLog("%s: handler has already been restored, aborting\n", __func__);
            ::abort();
        }
    }
    recordActiveException();
    if (previous) {
        BBXSDKLog("%s: invoking pre-existing handler\n", __func__);
        previous();
    }
    BBXSDKLog("%s: aborting\n", __func__);
    ::abort();
}
