#include "kits/blackbox/BBXCaptureSetup.h"

#include "kits/blackbox/BBXBinaryImages.h"

void BBXSetupImagesAndCapture(const BBXContextInitData* input, const BBXSetupAsync& async) {
    BBXContext* context = bbxContext;
    if (!context || !input) return;
    context->binaryImagesPath = BBXContextPathForFile(input->reportPath, "binary_images.bbxrecord");
    async([] { BBXBinaryImageInit(); });
}
