#pragma once
// Logging: console plus one rolling file a day, seven kept. Lines begin with
// the component's name and a colon, e.g. "TwilioSharing: ...".
#include <string>
#include <spdlog/spdlog.h>

namespace base {

// Installs the default logger; `logDir` empty logs to the console only.
void setupLogging(const std::string& logDir, bool console = true);
// The folder of the rolling files (empty before setupLogging).
std::string logDirectory();

}  // namespace base
