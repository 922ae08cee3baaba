#pragma once
// The image list and crash capture, installed while the context is built.
#include <functional>

#include "kits/blackbox/crashtime/BBXContext.h"

using BBXSetupAsync = std::function<void(std::function<void()>)>;

// Runs on the thread that starts the kit; work that may run concurrently goes
// through `async`.
void BBXSetupImagesAndCapture(const BBXContextInitData* input, const BBXSetupAsync& async);
