#pragma once
// Logging of the analytics kit. Messages carry the "[Blackbox:Tally]" prefix;
// debug messages are written only while the SDK core's debug flag is set.
#include <atomic>
#include <string>
#include <utility>

#include <spdlog/spdlog.h>

namespace tally {

// True while verbose SDK logging is on.
bool debugEnabled();

template <class... Args>
void debugLog(spdlog::format_string_t<Args...> fmt, Args&&... args) {
    if (!debugEnabled()) return;
    spdlog::info("[Blackbox:Tally] {}", fmt::format(fmt, std::forward<Args>(args)...));
}

template <class... Args>
void alwaysLog(spdlog::format_string_t<Args...> fmt, Args&&... args) {
    spdlog::warn("[Blackbox:Tally] {}", fmt::format(fmt, std::forward<Args>(args)...));
}

}  // namespace tally
