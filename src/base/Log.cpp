#include "base/Log.h"

#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <filesystem>
#include <mutex>
#include <vector>

namespace base {

namespace {
std::mutex gMutex;
std::string gLogDir;

// Other threads (timers, workers, the kits' queues) log through the default
// logger without holding it: one may still be inside the logger that
// setupLogging replaces, or log while the process exits, after spdlog's
// registry has let its loggers go with the statics. Every default logger is
// kept, with its sinks, to the very end.
void keepToTheEnd(const std::shared_ptr<spdlog::logger>& logger) {
    static auto* kept = new std::vector<std::shared_ptr<spdlog::logger>>();
    kept->push_back(logger);
}

// The settings and the kits' stores are read before the log file can be
// opened (its folder is one of the settings' folders), and what they say
// about a damaged file belongs in that file. Until then the default
// logger's lines are kept as well, and the first file opened gets them.
constexpr std::size_t kEarlyLines = 500;
const std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> gEarly = [] {
    auto early = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(kEarlyLines);
    spdlog::default_logger()->sinks().push_back(early);
    return early;
}();
bool gEarlyWritten = false;
}  // namespace

void setupLogging(const std::string& logDir, bool console) {
    std::lock_guard lock(gMutex);
    std::vector<spdlog::sink_ptr> sinks;
    if (console) sinks.push_back(std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    if (!logDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(logDir, ec);
        try {
            // One file a day, seven kept.
            auto file = std::make_shared<spdlog::sinks::daily_file_sink_mt>(logDir + "/flashwren.log", 0, 0, false, 7);
            if (!gEarlyWritten) {
                file->set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] %v");
                for (const auto& line : gEarly->last_raw()) file->log(line);
                gEarlyWritten = true;
            }
            sinks.push_back(file);
            gLogDir = logDir;
        } catch (const spdlog::spdlog_ex& e) {
            fprintf(stderr, "Logging: cannot open log file in %s: %s\n", logDir.c_str(), e.what());
        }
    }
    auto logger = std::make_shared<spdlog::logger>("flashwren", sinks.begin(), sinks.end());
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] %v");
    logger->set_level(spdlog::level::debug);
    logger->flush_on(spdlog::level::info);
    keepToTheEnd(spdlog::default_logger());
    keepToTheEnd(logger);
    spdlog::set_default_logger(logger);
}

std::string logDirectory() {
    std::lock_guard lock(gMutex);
    return gLogDir;
}

}  // namespace base
