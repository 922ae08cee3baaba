#pragma once
// Building the crash context at launch (not crash-time code: it may use the
// heap, threads and queues).
#include <functional>
#include <string>

#include "base/Executor.h"
#include "kits/blackbox/crashtime/BBXContext.h"

// The crash context's serial queues.
base::SerialQueue& BBXLoggingQueue();       // "io.blackbox.mac.logging"
base::SerialQueue& BBXBinaryImagesQueue();  // "io.blackbox.mac.binary-images"
base::SerialQueue& BBXExceptionQueue();     // "io.blackbox.mac.exception"

// Builds the context from the input, installs crash capture and writes the
// report's metadata; returns within about 5 seconds. A null input does nothing.
void BBXContextInitialize(const BBXContextInitData* input);
// Writes "metadata.bbxrecord" into the report directory.
bool BBXContextRecordMetadata(const char* reportDirectory, const BBXContextInitData* input);

// Runs `task` on `executor` after `seconds`.
void BBXDispatchAfter(base::Executor* executor, std::function<void()> task, float seconds);
// The symbol and image of an address ("unknown" each when missing); false
// when the lookup fails.
bool BBXDladdrLookup(const void* address, const std::function<void(const char* symbol, const char* image)>& block);
