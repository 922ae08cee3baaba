// Analytics event logging: events appended through the controller at
// priority 2 (queued) and priority 0 (written before logEvent returns),
// the bare append stage, and two baselines writing the same lines: a plain
// write() loop and spdlog's file sink flushing every line.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "kits/tally/BBXAnalyticsController.h"
#include "kits/trellis/BBXUserDefaults.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
    Scratch() {
        char tmpl[] = "/tmp/tally-bench-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

std::shared_ptr<BBXAnalyticsEvent> sampleEvent(std::uint64_t priority) {
    auto tally = BBXTallyCustomEvent::initWithName(
        "photo_printed", {{"template", "wedding-classic"}, {"copies", 2}, {"green_screen", true}});
    auto event = BBXAnalyticsEvent::initWithTallyEvent(tally.get(), 1700000000000ULL, "8D3F0C6E-1D7A-4C1B-9A52-3C5E9E2B7F10");
    return BBXAnalyticsEvent::initWithPriority(priority, event->timestamp(), event->key(), event->eventIdentifier(),
                                               event->stringPayloadValueDict());
}

struct ControllerFixture {
    Scratch scratch;
    BBXUserDefaults defaults{scratch.path + "/defaults"};
    base::NotificationCenter center;
    base::Scheduler scheduler;
    std::shared_ptr<BBXAnalyticsController> controller;
    ControllerFixture() {
        BBXAnalyticsController::Environment env;
        env.defaults = &defaults;
        env.scheduler = &scheduler;
        env.notificationCenter = &center;
        controller = BBXAnalyticsController::create("BENCH", scratch.path + "/analytics", std::nullopt, env);
        controller->flush();
    }
};

void BM_ControllerPriority2Async(benchmark::State& state) {
    ControllerFixture f;
    auto event = sampleEvent(2);
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) f.controller->logEvent(event);
        f.controller->flush();  // every queued event is on disk before the clock stops
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ControllerPriority2Async)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ControllerPriority0Sync(benchmark::State& state) {
    ControllerFixture f;
    auto event = sampleEvent(0);
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) f.controller->logEvent(event);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ControllerPriority0Sync)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AppendStage(benchmark::State& state) {
    Scratch scratch;
    auto file = BBXEventLogEventFile::initWithURL(scratch.path + "/2.log");
    auto event = sampleEvent(2);
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) file->appendEvent(*event);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_AppendStage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BaselinePlainWriteLoop(benchmark::State& state) {
    Scratch scratch;
    int fd = ::open((scratch.path + "/plain.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string line = sampleEvent(2)->eventData();
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i)
            if (::write(fd, line.data(), line.size()) < 0) state.SkipWithError("write failed");
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_BaselinePlainWriteLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BaselineSpdlogFlushEveryLine(benchmark::State& state) {
    Scratch scratch;
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_st>(scratch.path + "/spdlog.log");
    spdlog::logger logger("bench", sink);
    logger.set_pattern("%v");
    logger.flush_on(spdlog::level::trace);
    std::string line = sampleEvent(2)->eventData();
    line.pop_back();  // the sink adds the line feed
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) logger.info(line);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_BaselineSpdlogFlushEveryLine)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    spdlog::set_level(spdlog::level::warn);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory (max RSS): %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
