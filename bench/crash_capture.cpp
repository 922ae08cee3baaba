// Crash capture of a 50-thread process: from the faulting instruction until
// the crash kit has recorded every thread (its crash callback runs), and
// until the process has died of the fault. Each round runs a child (this
// program again, "child <folder>") that starts 50 threads, starts crash
// reporting and faults. Beside it, in the same run and rounds alternating,
// the same child of a baseline build of this program (an earlier version of
// the kit) given as the first argument; without one, only this build runs.
// The figures are the minimum and median of the rounds and their ratios to
// the baseline's.
//
// Run pinned to two cores:  taskset -c 0,1 bench_crash_capture [baseline program] [rounds]
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kits/blackbox/BBXContextSetup.h"

namespace {

constexpr int kThreads = 50;

std::uint64_t now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

void writeTime(std::uint64_t value) {
    if (::write(1, &value, sizeof value) != sizeof value) ::_exit(3);
}

class Callback : public BBXCrashCallbackTarget {
public:
    void deliverCrashDelegateCallback() override { writeTime(now()); }
};

void* idle(void*) {
    for (;;) ::pause();
    return nullptr;
}

int child(const char* folder) {
    for (int i = 0; i < kThreads; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, idle, nullptr) != 0) return 4;
        char name[16];
        std::snprintf(name, sizeof name, "worker-%d", i);
        pthread_setname_np(thread, name);
    }
    static Callback callback;
    BBXContextInitData input;
    input.apiKey = "0123456789abcdef0123456789abcdef01234567";
    input.reportPath = folder;
    input.sessionId = "bench";
    input.installId = "install";
    input.crashCallbackTarget = &callback;
    BBXContextInitialize(&input);
    BBXLoggingQueue().drain();
    BBXBinaryImagesQueue().drain();
    writeTime(now());
    volatile int* volatile address = nullptr;
    *address = 1;
    return 0;
}

struct Round {
    double captureMs;  // fault to the crash callback
    double deathMs;    // fault to the parent's reaping the child
};

bool runOnce(const std::string& program, Round* round) {
    char folder[] = "/tmp/crash-capture-bench-XXXXXX";
    if (!::mkdtemp(folder)) return false;
    int out[2];
    if (::pipe(out) != 0) return false;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execl(program.c_str(), program.c_str(), "child", folder, nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    std::uint64_t times[2] = {};
    std::size_t got = 0;
    auto* bytes = reinterpret_cast<char*>(times);
    for (;;) {
        ssize_t n = ::read(out[0], bytes + got, sizeof times - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::uint64_t reaped = now();
    ::close(out[0]);
    std::ifstream record(std::string(folder) + "/signal.bbxrecord");
    std::string line;
    int lines = 0;
    while (std::getline(record, line)) ++lines;
    std::filesystem::remove_all(folder);
    if (got != sizeof times || !WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV || lines != 7) {
        std::fprintf(stderr, "%s: no complete record (status %d, %d lines)\n", program.c_str(), status, lines);
        return false;
    }
    round->captureMs = static_cast<double>(times[1] - times[0]) / 1e6;
    round->deathMs = static_cast<double>(reaped - times[0]) / 1e6;
    return true;
}

struct Series {
    std::string name;
    std::vector<double> capture, death;
};

double minimum(std::vector<double> v) { return *std::min_element(v.begin(), v.end()); }
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "child") == 0) return child(argv[2]);
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string baseline = argc > 1 ? argv[1] : "";
    int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
    cpu_set_t cpus;
    sched_getaffinity(0, sizeof cpus, &cpus);
    int cores = CPU_COUNT(&cpus);
    std::printf("Crash capture, %d threads, %d rounds, on %d core%s%s\n", kThreads + 1, rounds, cores,
                cores == 1 ? "" : "s", cores == 2 ? "" : " (the reference figures are on 2: taskset -c 0,1)");
    std::vector<Series> series = {{"this build", {}, {}}};
    if (!baseline.empty()) series.push_back({"baseline", {}, {}});
    for (int r = 0; r < rounds; ++r) {
        // Each goes first in every other round, so neither has the warmer caches.
        for (std::size_t k = 0; k < series.size(); ++k) {
            Series& s = series[(k + static_cast<std::size_t>(r)) % series.size()];
            Round round;
            if (!runOnce(s.name == "baseline" ? baseline : self, &round)) return 1;
            s.capture.push_back(round.captureMs);
            s.death.push_back(round.deathMs);
        }
    }
    std::printf("%-12s %14s %14s %14s %14s %22s %22s\n", "", "capture min", "capture med", "death min", "death med",
                "capture x base min/med", "death x base min/med");
    for (const auto& s : series) {
        std::printf("%-12s %11.2f ms %11.2f ms %11.2f ms %11.2f ms", s.name.c_str(), minimum(s.capture),
                    median(s.capture), minimum(s.death), median(s.death));
        if (series.size() == 2) {
            const Series& b = series[1];
            std::printf(" %14.2f/%-7.2f %14.2f/%-7.2f", minimum(s.capture) / minimum(b.capture),
                        median(s.capture) / median(b.capture), minimum(s.death) / minimum(b.death),
                        median(s.death) / median(b.death));
        }
        std::printf("\n");
    }
    return 0;
}
