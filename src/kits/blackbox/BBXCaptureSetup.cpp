#include "kits/blackbox/BBXCaptureSetup.h"

void BBXSetupImagesAndCapture(const BBXContextInitData*, const BBXSetupAsync&) {}

bool BBXBinaryImageRecordMainExecutable(BBXFile*) { return false; }
