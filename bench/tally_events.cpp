// Analytics event logging, end to end: from the first log call until the last
// of 1,000,000 priority-2 events is in its file, for custom events and for
// predefined events, each with two custom attributes. Beside them, in the
// same run, two baselines writing the same lines: a plain write() loop and
// spdlog's file sink flushing every line. Each measurement runs in a child
// process of its own, so that its peak memory is its own; the figures are the
// minimum and median of the repetitions and their ratios to the baselines.
//
// Run pinned to two cores:  taskset -c 0,1 bench_tally_events [events] [repetitions]
// The Google Benchmark cases after it time the stages (event building, the
// bare append) for profiling.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

BBXTallyAttributes twoAttributes(int i) {
    return {{base::Json("template"), base::Json("wedding-classic")}, {base::Json("copies"), base::Json(i & 3)}};
}

std::shared_ptr<BBXTallyEvent> customEvent(int i) { return BBXTallyCustomEvent::initWithName("photo_printed", twoAttributes(i)); }
std::shared_ptr<BBXTallyEvent> predefinedEvent(int i) {
    return std::make_shared<BBXTallySearchEvent>(base::Json("green screen"), twoAttributes(i));
}

// The line a typical event gets, for the baselines.
std::string sampleLine() {
    auto event = BBXAnalyticsEvent::initWithTallyEvent(customEvent(1).get(), 1700000000000ULL,
                                                       "8D3F0C6E-1D7A-4C1B-9A52-3C5E9E2B7F10");
    return event->eventData();
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

// --- end to end ------------------------------------------------------------------

struct Sample {
    double seconds = 0;
    double peakMiB = 0;
};

// Runs `body` (which returns its own elapsed seconds) in a child process.
Sample inChild(const std::function<double()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        double seconds = body();
        if (::write(fds[1], &seconds, sizeof seconds) != sizeof seconds) ::_exit(2);
        ::_exit(0);
    }
    ::close(fds[1]);
    Sample sample;
    if (::read(fds[0], &sample.seconds, sizeof sample.seconds) != sizeof sample.seconds) sample.seconds = -1;
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    sample.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return sample;
}

using Clock = std::chrono::steady_clock;
double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double controllerRun(int events, bool predefined) {
    ControllerFixture f;
    auto start = Clock::now();
    for (int i = 0; i < events; ++i) {
        if (predefined) f.controller->logPredefinedEvent(predefinedEvent(i));
        else f.controller->logCustomEvent(customEvent(i));
    }
    f.controller->flush();  // the last event is in its file
    return since(start);
}

double writeLoopRun(int events) {
    Scratch scratch;
    std::string line = sampleLine();
    int fd = ::open((scratch.path + "/plain.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    auto start = Clock::now();
    for (int i = 0; i < events; ++i)
        if (::write(fd, line.data(), line.size()) < 0) std::abort();
    double seconds = since(start);
    ::close(fd);
    return seconds;
}

double spdlogRun(int events) {
    Scratch scratch;
    std::string line = sampleLine();
    line.pop_back();  // the sink adds the line feed
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_st>(scratch.path + "/spdlog.log");
    spdlog::logger logger("bench", sink);
    logger.set_pattern("%v");
    logger.flush_on(spdlog::level::trace);
    auto start = Clock::now();
    for (int i = 0; i < events; ++i) logger.info(line);
    return since(start);
}

struct Series {
    std::string name;
    std::vector<Sample> samples;
    double minSeconds() const {
        double m = samples.front().seconds;
        for (auto& s : samples) m = std::min(m, s.seconds);
        return m;
    }
    double medianSeconds() const {
        std::vector<double> v;
        for (auto& s : samples) v.push_back(s.seconds);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    double peakMiB() const {
        double m = 0;
        for (auto& s : samples) m = std::max(m, s.peakMiB);
        return m;
    }
};

void endToEnd(int events, int repetitions) {
    cpu_set_t set;
    CPU_ZERO(&set);
    int cores = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : -1;
    std::printf("end to end: %d priority-2 events, %d repetitions, %d cores allowed%s\n", events, repetitions, cores,
                cores == 2 ? "" : " (run under taskset -c 0,1 for the reference figures)");
    std::vector<Series> series = {{"custom events (2 attributes)", {}},
                                  {"predefined events (2 attributes)", {}},
                                  {"baseline: write() loop", {}},
                                  {"baseline: spdlog, flush each line", {}}};
    // Interleaved, so that a busy moment of the machine hits every series alike.
    for (int r = 0; r < repetitions; ++r) {
        series[0].samples.push_back(inChild([&] { return controllerRun(events, false); }));
        series[1].samples.push_back(inChild([&] { return controllerRun(events, true); }));
        series[2].samples.push_back(inChild([&] { return writeLoopRun(events); }));
        series[3].samples.push_back(inChild([&] { return spdlogRun(events); }));
    }
    const Series& plain = series[2];
    const Series& spd = series[3];
    std::printf("%-36s %14s %14s %10s %16s %16s\n", "", "events/s best", "events/s med", "peak MiB",
                "x write() min/med", "x spdlog min/med");
    for (const auto& s : series) {
        std::printf("%-36s %14.0f %14.0f %10.1f %8.2f/%-7.2f %8.2f/%-7.2f\n", s.name.c_str(), events / s.minSeconds(),
                    events / s.medianSeconds(), s.peakMiB(), s.minSeconds() / plain.minSeconds(),
                    s.medianSeconds() / plain.medianSeconds(), s.minSeconds() / spd.minSeconds(),
                    s.medianSeconds() / spd.medianSeconds());
    }
    std::fflush(stdout);
}

// --- stages, for profiling ------------------------------------------------------

void BM_BuildCustomEvent(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        auto tally = customEvent(++i);
        auto event = BBXAnalyticsEvent::initWithTallyEvent(tally.get(), 1700000000000ULL, "id");
        benchmark::DoNotOptimize(event);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildCustomEvent);

void BM_EventIdentifier(benchmark::State& state) {
    BBXAnalyticsIdentifierGenerator ids;
    for (auto _ : state) benchmark::DoNotOptimize(ids.generateEventIdentifier());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventIdentifier);

void BM_AppendStage(benchmark::State& state) {
    Scratch scratch;
    auto file = BBXEventLogEventFile::initWithURL(scratch.path + "/2.log");
    auto event = BBXAnalyticsEvent::initWithTallyEvent(customEvent(1).get(), 1700000000000ULL, "id");
    for (auto _ : state) file->appendEvent(*event);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendStage);

void BM_ControllerPriority0Sync(benchmark::State& state) {
    ControllerFixture f;
    auto event = BBXAnalyticsEvent::initWithPriority(0, 1700000000000ULL, "app_became_active", "id");
    for (auto _ : state) f.controller->logEvent(event);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ControllerPriority0Sync);

}  // namespace

int main(int argc, char** argv) {
    spdlog::set_level(spdlog::level::warn);
    int events = 1000000, repetitions = 5;
    // Leading plain numbers are ours; the rest goes to Google Benchmark.
    int consumed = 1;
    if (argc > consumed && std::isdigit(static_cast<unsigned char>(argv[consumed][0]))) events = std::atoi(argv[consumed++]);
    if (argc > consumed && std::isdigit(static_cast<unsigned char>(argv[consumed][0])))
        repetitions = std::max(1, std::atoi(argv[consumed++]));
    endToEnd(events, repetitions);
    argv[consumed - 1] = argv[0];
    int rest = argc - consumed + 1;
    benchmark::Initialize(&rest, argv + consumed - 1);
    if (benchmark::ReportUnrecognizedArguments(rest, argv + consumed - 1)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
