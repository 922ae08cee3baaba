#include "base/Log.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "base/Files.h"

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

constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e [%l] %v";

// The day's file, at start and again at midnight, is opened only when it is
// a regular file or nothing is there yet: a named pipe in its place would
// block the open for ever, a device would swallow or feed what goes to it.
// Anything else is set aside and the file made anew, the reason at its top
// (and on the console): the logger's own lines cannot be used from inside
// its sink. What cannot be set aside is not opened at all.
spdlog::file_event_handlers guardedDailyFile(bool console) {
    auto note = std::make_shared<std::string>();
    spdlog::file_event_handlers handlers;
    handlers.before_open = [note](const spdlog::filename_t& filename) {
        note->clear();
        const auto why = whyNotARegularFile(filename);
        if (!why) return;
        const std::string aside = setAside(filename);
        if (aside.empty())
            throw spdlog::spdlog_ex("the log file " + filename + " is not opened because " + *why +
                                    ", and it cannot be set aside");
        *note = "Logging: the log file " + filename + " was set aside as " + aside + " because " + *why + ".";
    };
    handlers.after_open = [note, console](const spdlog::filename_t&, std::FILE* file) {
        if (note->empty()) return;
        spdlog::pattern_formatter formatter(kPattern);
        spdlog::memory_buf_t line;
        formatter.format(spdlog::details::log_msg("flashwren", spdlog::level::warn, *note), line);
        std::fwrite(line.data(), 1, line.size(), file);
        if (console) std::fwrite(line.data(), 1, line.size(), stderr);
        note->clear();
    };
    return handlers;
}
}  // namespace

std::string setupLogging(const std::string& logDir, bool console) {
    std::lock_guard lock(gMutex);
    std::vector<spdlog::sink_ptr> sinks;
    if (console) sinks.push_back(std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    std::string problem, setAsideNote;
    if (!logDir.empty()) {
        // A file (or anything else) in the folder's place would leave the
        // booth without a log for the whole event.
        if (const auto why = whyNotAFolder(logDir)) {
            const std::string aside = setAside(logDir);
            if (aside.empty())
                problem = "the log folder " + logDir + " cannot be used because " + *why + ", and it cannot be set aside";
            else
                setAsideNote = "Logging: the log folder " + logDir + " was set aside as " + aside + " because " + *why + ".";
        }
        std::error_code ec;
        if (problem.empty()) std::filesystem::create_directories(logDir, ec);
        if (problem.empty() && ec) problem = "the log folder " + logDir + " cannot be made: " + ec.message();
    }
    if (!logDir.empty() && problem.empty()) {
        try {
            // One file a day, seven kept.
            auto file = std::make_shared<spdlog::sinks::daily_file_sink_mt>(logDir + "/flashwren.log", 0, 0, false, 7,
                                                                            guardedDailyFile(console));
            if (!gEarlyWritten) {
                file->set_pattern(kPattern);
                for (const auto& line : gEarly->last_raw()) file->log(line);
                gEarlyWritten = true;
            }
            sinks.push_back(file);
            gLogDir = logDir;
        } catch (const spdlog::spdlog_ex& e) {
            problem = "the log file in " + logDir + " cannot be opened: " + e.what();
        }
    }
    auto logger = std::make_shared<spdlog::logger>("flashwren", sinks.begin(), sinks.end());
    logger->set_pattern(kPattern);
    logger->set_level(spdlog::level::debug);
    logger->flush_on(spdlog::level::info);
    keepToTheEnd(spdlog::default_logger());
    keepToTheEnd(logger);
    spdlog::set_default_logger(logger);
    if (!setAsideNote.empty()) logger->warn(setAsideNote);
    if (!problem.empty()) logger->error("Logging: {}", problem);
    return problem;
}

std::string logDirectory() {
    std::lock_guard lock(gMutex);
    return gLogDir;
}

}  // namespace base
