#pragma once
// What a report says about the machine: read at launch, not at crash time.
#include <cstdint>
#include <string>

#include "kits/blackbox/crashtime/BBXFile.h"

std::string BBXHostModel();            // the board's product name, "unknown" when unreadable
std::string BBXHostMachine();          // e.g. "x86_64", "(failed)" when unreadable
std::string BBXHostCPU();              // the processor's brand string, "(failed)" when unreadable
std::string BBXHostOSBuildVersion();   // the kernel release
std::string BBXHostOSDisplayVersion(); // the distribution's version
std::string BBXHostLocale();           // e.g. "en_US"
// The memory page size (4096 when it cannot be read).
std::uint64_t BBXHostGetPageSize();
// The version codes name releases of another system: always 0 here.
std::uint32_t BBXHostOSVersionCode();
// Page size and the documents folder, into the context.
void BBXHostInitialize();
// The "host" record.
bool BBXHostRecordInfo(BBXFile* file);
