#include "base/Log.h"

#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <filesystem>
#include <mutex>

namespace base {

namespace {
std::mutex gMutex;
std::string gLogDir;

// Other threads (timers, workers) may still log while the process exits,
// after spdlog's registry has let its loggers go with the statics: the
// logger installed last is kept, with its sinks, to the very end.
void keepToTheEnd(const std::shared_ptr<spdlog::logger>& logger) {
    static auto* kept = new std::shared_ptr<spdlog::logger>();
    *kept = logger;
}
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
            sinks.push_back(std::make_shared<spdlog::sinks::daily_file_sink_mt>(logDir + "/flashwren.log", 0, 0,
                                                                                false, 7));
            gLogDir = logDir;
        } catch (const spdlog::spdlog_ex& e) {
            fprintf(stderr, "Logging: cannot open log file in %s: %s\n", logDir.c_str(), e.what());
        }
    }
    auto logger = std::make_shared<spdlog::logger>("flashwren", sinks.begin(), sinks.end());
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] %v");
    logger->set_level(spdlog::level::debug);
    logger->flush_on(spdlog::level::info);
    keepToTheEnd(logger);
    spdlog::set_default_logger(logger);
}

std::string logDirectory() {
    std::lock_guard lock(gMutex);
    return gLogDir;
}

}  // namespace base
