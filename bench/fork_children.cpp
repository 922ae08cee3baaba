// How many forked children hang in their first dlopen while another thread
// opens and closes a library in a loop: built with the crash kit started, and
// as the C library's baseline without it (bench_fork_children_plain). Each
// child opens one library with a deadline; one that misses it counts as hung.
// A measurement driver, not a test: it forks a process that has threads.
// The kit's build runs the baseline itself after each of its own runs, so
// both figures come from the same run of the machine.
//
// Run:  taskset -c 0,1 bench_fork_children [children] [deadline seconds] [runs]
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef FORK_CHILDREN_WITH_KIT
#include "kits/blackbox/BBXContextSetup.h"
#endif

#ifdef FORK_CHILDREN_WITH_KIT
namespace {

std::vector<int> kitHung, plainHung;

int minOf(std::vector<int> v) { return *std::min_element(v.begin(), v.end()); }
int medianOf(std::vector<int> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One run of the build without the kit; the hung children it counts, or -1.
int baselineRun(int children, unsigned deadline) {
    const std::string command = std::string(FORK_CHILDREN_PLAIN_PATH) + " " + std::to_string(children) + " " +
                                std::to_string(deadline) + " 1";
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return -1;
    int hung = -1, run = 0, of = 0;
    char line[256];
    while (std::fgets(line, sizeof line, out))
        if (std::sscanf(line, "run %d: %d of %d", &run, &hung, &of) == 3) break;
    while (std::fgets(line, sizeof line, out)) {
    }
    ::pclose(out);
    return hung;
}

}  // namespace
#endif

int main(int argc, char** argv) {
    const int children = argc > 1 ? std::atoi(argv[1]) : 40;
    const unsigned deadline = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 2;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
#ifdef FORK_CHILDREN_WITH_KIT
    char folder[] = "/tmp/fork-children-bench-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    BBXContextInitData input;
    input.apiKey = "0123456789abcdef0123456789abcdef01234567";
    input.reportPath = folder;
    input.sessionId = "bench";
    input.installId = "install";
    BBXContextInitialize(&input);
    BBXBinaryImagesQueue().drain();
    const char* label = "with the kit";
#else
    const char* label = "C library alone";
#endif
    std::atomic<bool> stop{false};
    std::atomic<long> loops{0};
    std::thread churn([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (void* handle = dlopen("libBrokenLocale.so.1", RTLD_NOW | RTLD_LOCAL)) dlclose(handle);
            loops.fetch_add(1, std::memory_order_relaxed);
        }
    });
    while (loops.load() < 10) std::this_thread::yield();
    std::printf("%s: %d children per run, %u s deadline each\n", label, children, deadline);
    for (int run = 0; run < runs; ++run) {
        int hung = 0, failed = 0;
        for (int i = 0; i < children; ++i) {
            const pid_t child = ::fork();
            if (child == 0) {
                ::alarm(deadline);
                ::_exit(dlopen("libanl.so.1", RTLD_NOW | RTLD_LOCAL) ? 0 : 1);
            }
            int status = 0;
            if (child < 0 || ::waitpid(child, &status, 0) != child) return 2;
            if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) ++hung;
            else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
        }
        std::printf("run %d: %d of %d children hung, %d failed\n", run + 1, hung, children, failed);
#ifdef FORK_CHILDREN_WITH_KIT
        kitHung.push_back(hung);
        plainHung.push_back(baselineRun(children, deadline));
        std::printf("run %d, C library alone: %d of %d children hung\n", run + 1, plainHung.back(), children);
#endif
    }
#ifdef FORK_CHILDREN_WITH_KIT
    std::printf("hung, min / median: with the kit %d / %d, C library alone %d / %d\n", minOf(kitHung),
                medianOf(kitHung), minOf(plainHung), medianOf(plainHung));
#endif
    stop = true;
    churn.join();
    return 0;
}
