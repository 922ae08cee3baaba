// How many forked children hang in their first dlopen while another thread
// opens and closes a library in a loop: built with the crash kit started, and
// as the C library's baseline without it (bench_fork_children_plain). Each
// child opens one library with a deadline; one that misses it counts as hung.
// A measurement driver, not a test: it forks a process that has threads.
//
// Run:  taskset -c 0,1 bench_fork_children [children] [deadline seconds] [runs]
//       taskset -c 0,1 bench_fork_children_plain ...
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#ifdef FORK_CHILDREN_WITH_KIT
#include "kits/blackbox/BBXContextSetup.h"
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
    }
    stop = true;
    churn.join();
    return 0;
}
