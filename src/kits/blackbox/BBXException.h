#pragma once
// Exception records: crashes (recorded with every thread on the calling
// thread) and custom exceptions (kept in the bounded custom-exceptions store).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kits/blackbox/BBXStackFrame.h"

enum BBXExceptionType : std::uint32_t {
    BBXExceptionTypeObjectiveC = 1,
    BBXExceptionTypeCpp = 2,
    BBXExceptionTypeJavaScript = 3,
    BBXExceptionTypeCustom = 4,
};

void BBXExceptionRecord(std::uint32_t type, const std::string& name, const std::string& reason,
                        const std::vector<BBXStackFrame>& frames, bool attemptDelivery);

// The start-up checks: warn when another component has taken a handler over.
void BBXExceptionCheckHandlers();
void BBXSignalCheckHandlers();
void BBXMachExceptionCheckHandlers();

// Throws the C string "Blackbox C++ Test Exception".
[[noreturn]] void BBXExceptionRaiseTestCppException();
