// Forks while another thread is inside the kit's dlopen, holding the kit's
// image lock, and has the child open a library. Prints "opened", "failed" or
// "hung" (the child did not finish within its deadline); then whether the
// parent still takes in the library the thread opened ("parent records it"
// or "parent lost it").
// Usage: blackbox_fork_holder <report folder> <library for the thread> <library for the child>
#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "kits/blackbox/BBXContextSetup.h"

namespace {

int entered[2], release[2];
thread_local bool holding = false;

}  // namespace

using Iterate = int (*)(int (*)(struct dl_phdr_info*, size_t, void*), void*);
// A sanitizer's runtime walks the list from its start-up, before a lookup of
// the next definition could run: its interceptor is called directly.
extern "C" int __interceptor_dl_iterate_phdr(int (*)(struct dl_phdr_info*, size_t, void*), void*)
    __attribute__((weak));

// The kit's scan asks the loader for its list with the image lock taken: the
// holding thread stops there, before the loader's own locks are touched.
extern "C" __attribute__((no_sanitize("address", "undefined", "thread"))) int dl_iterate_phdr(
    int (*callback)(struct dl_phdr_info*, size_t, void*), void* data) {
    if (holding) {
        holding = false;
        char byte = 1;
        if (::write(entered[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) != 1) return 0;
    }
    if (__interceptor_dl_iterate_phdr) return __interceptor_dl_iterate_phdr(callback, data);
    static Iterate next = reinterpret_cast<Iterate>(::dlsym(RTLD_NEXT, "dl_iterate_phdr"));
    return next(callback, data);
}

int main(int argc, char** argv) {
    if (argc != 4 || ::pipe(entered) != 0 || ::pipe(release) != 0) return 2;
    BBXContextInitData input;
    input.apiKey = "0123456789abcdef0123456789abcdef01234567";
    input.reportPath = argv[1];
    input.sessionId = "fork-session";
    input.installId = "install";
    BBXContextInitialize(&input);
    BBXBinaryImagesQueue().drain();

    std::thread holder([&] {
        holding = true;
        dlopen(argv[2], RTLD_NOW);
    });
    char byte = 0;
    if (::read(entered[0], &byte, 1) != 1) return 3;
    // The fork itself is what is tested, so the child cannot be a fresh
    // program. It is made safe instead: the kit's queue is drained and its
    // thread waits idle, and the holder stops before any lock of the C
    // library's is taken, so the kit's image lock is the only lock held
    // mid-use when the child is made. The child only opens a library and
    // leaves, and its alarm bounds it.
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(20);  // a child that hangs is ended here
        ::_exit(dlopen(argv[3], RTLD_NOW) ? 0 : 1);
    }
    int status = 0;
    const bool waited = child > 0 && ::waitpid(child, &status, 0) == child;
    if (::write(release[1], &byte, 1) != 1) return 4;
    holder.join();
    std::puts(!waited ? "no child" : WIFEXITED(status) ? (WEXITSTATUS(status) == 0 ? "opened" : "failed") : "hung");
    // The next loader call of the parent takes in what the thread opened.
    dlopen(argv[2], RTLD_NOW | RTLD_NOLOAD);
    BBXBinaryImagesQueue().drain();
    std::ifstream in(bbxContext->binaryImagesPath);
    const std::string records((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::puts(records.find("\"" + std::string(argv[2]) + "\"") != std::string::npos ? "parent records it" : "parent lost it");
    return 0;
}
