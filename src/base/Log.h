#pragma once
// Logging: console plus one rolling file a day, seven kept. Lines begin with
// the component's name and a colon, e.g. "TwilioSharing: ...".
#include <string>
#include <spdlog/spdlog.h>

namespace base {

// Installs the default logger; `logDir` empty logs to the console only.
// Anything but a folder at `logDir` is set aside and the folder made, the
// reason logged. Returns why the log file cannot be written (naming the
// path), empty when it can; the console still gets the lines then.
std::string setupLogging(const std::string& logDir, bool console = true);
// The folder of the rolling files (empty before setupLogging).
std::string logDirectory();

}  // namespace base
