#include "kits/blackbox/BBXCaptureSetup.h"

#include <dlfcn.h>
#include <signal.h>

#include "kits/blackbox/BBXBinaryImages.h"
#include "kits/blackbox/BBXThreadGuards.h"
#include "kits/blackbox/crashtime/BBXCapture.h"

void BBXSetupImagesAndCapture(const BBXContextInitData* input, const BBXSetupAsync& async) {
    BBXContext* context = bbxContext;
    if (!context || !input) return;
    const char* dir = input->reportPath;
    context->binaryImagesPath = BBXContextPathForFile(dir, "binary_images.bbxrecord");
    async([] { BBXBinaryImageInit(); });

    if (context->debuggerAttached) {
        BBXSDKLog("%s: Debugger present - not installing handlers\n", "BBXContextInitialize");
        return;
    }
    context->signalStore.path = BBXContextPathForFile(dir, "signal.bbxrecord");
    context->signalStore.suspendSignal = SIGRTMAX - 2;
    context->machStore.path = BBXContextPathForFile(dir, "mach_exception.bbxrecord");
    context->machStore.mask = input->machExceptionMask;
    context->exceptionStore.path = BBXContextPathForFile(dir, "exception.bbxrecord");
    context->exceptionStore.maxCustomExceptions = input->customExceptionsEnabled ? input->maxCustomExceptions : 0;
    // Where the C library keeps the message of an abort it makes itself.
    context->abortMessage = reinterpret_cast<uint64_t>(dlsym(RTLD_DEFAULT, "__abort_msg"));
    BBXThreadGuardsInstall();
    // The alternate stack belongs to the thread that installs it: this one.
    BBXSignalInstallAltStack();
    async([context] { BBXSignalInitialize(&context->signalStore); });
    async([context] {
        BBXExceptionInitialize(&context->exceptionStore, &bbxWritableContext->logging.customExceptionsCount);
    });
}
