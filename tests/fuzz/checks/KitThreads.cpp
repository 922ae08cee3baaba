// Not a fuzz target: a check that scripts/fuzz.sh runs in the fuzz build,
// where clang links its sanitizer runtime into the program itself. The crash
// kit defines pthread_create for every thread of the program; each thread
// must still reach AddressSanitizer, or the sanitizer knows nothing of it:
// what the thread allocates has no thread and no stack in its reports, and
// leak checking goes wrong on it (as it did on the fuzzer's own threads).
// Exits 0 when a block allocated by a new thread is charged to that thread.
#include <pthread.h>
#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>

#include "kits/blackbox/BBXThreadGuards.h"

namespace {

void* allocate(void*) { return std::malloc(40); }

}  // namespace

int main() {
    BBXThreadGuardsInstall();  // as starting crash reporting does
    pthread_t thread;
    void* block = nullptr;
    if (pthread_create(&thread, nullptr, allocate, nullptr) != 0 || pthread_join(thread, &block) != 0 || !block)
        return 2;
    void* frames[8];
    int threadId = 0;  // the main thread's
    const std::size_t depth = __asan_get_alloc_stack(block, frames, 8, &threadId);
    std::free(block);
    const bool seen = threadId > 0 && depth > 0;
    std::printf("a thread started through the crash kit: %s\n",
                seen ? "seen by the sanitizer" : "unknown to the sanitizer (its allocations have no thread)");
    return seen ? 0 : 1;
}
