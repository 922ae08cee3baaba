#pragma once
// Every line the default logger writes while it lives: level, thread, text.
#include <spdlog/details/os.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class LogCapture {
public:
    struct Line {
        spdlog::level::level_enum level;
        std::size_t thread;  // as spdlog::details::os::thread_id() gives it
        std::string text;
    };
    LogCapture() { spdlog::default_logger()->sinks().push_back(sink_); }
    ~LogCapture() {
        auto& sinks = spdlog::default_logger()->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    // The lines holding `part` at `level` or above.
    std::vector<Line> lines(const std::string& part = {}, spdlog::level::level_enum level = spdlog::level::trace) const {
        std::lock_guard lock(sink_->guard);
        std::vector<Line> out;
        for (auto& l : sink_->all)
            if (l.level >= level && l.text.find(part) != std::string::npos) out.push_back(l);
        return out;
    }

private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        void sink_it_(const spdlog::details::log_msg& msg) override {
            std::lock_guard lock(guard);
            all.push_back({msg.level, msg.thread_id, std::string(msg.payload.data(), msg.payload.size())});
        }
        void flush_() override {}
        std::mutex guard;
        std::vector<Line> all;
    };
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
};

}  // namespace testsupport
