// Opening and closing a small library, as a plugin host does: through the
// program's dlopen and dlclose with crash reporting started (the kit records
// each image as it comes and goes), beside the C library's own dlopen and
// dlclose called directly in the same process. Each round times a batch of
// pairs of each, in alternating order; a kit batch ends when its image
// records are on disk. Prints the machine's load, the minimum and median
// time of one pair, and the kit's ratios to the C library's. With a count of
// other libraries, that many copies of a small library stay open throughout,
// as in a host with many plugins (past 512, more than the kit's image list).
//
// Run pinned to two cores:  taskset -c 0,1 bench_loader_calls [rounds] [pairs per batch] [other libraries]
#include <dlfcn.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kits/blackbox/BBXContextSetup.h"

namespace {

// A small library of the C library's that nothing here has open.
constexpr const char* kLibrary = "libBrokenLocale.so.1";

using Open = void* (*)(const char*, int);
using Close = int (*)(void*);

double seconds() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string load() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Microseconds for one open and close, over a batch.
double batch(Open open, Close close, int pairs, bool kit) {
    const double start = seconds();
    for (int i = 0; i < pairs; ++i) {
        void* handle = open(kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "cannot open %s: %s\n", kLibrary, dlerror());
            std::exit(1);
        }
        close(handle);
    }
    if (kit) BBXBinaryImagesQueue().drain();
    return (seconds() - start) * 1e6 / pairs;
}

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
    const int pairs = argc > 2 ? std::atoi(argv[2]) : 200;
    const int others = argc > 3 ? std::atoi(argv[3]) : 0;
    char folder[] = "/tmp/loader-calls-bench-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    BBXContextInitData input;
    input.apiKey = "0123456789abcdef0123456789abcdef01234567";
    input.reportPath = folder;
    input.sessionId = "bench";
    input.installId = "install";
    BBXContextInitialize(&input);
    BBXBinaryImagesQueue().drain();
    // Copies under other names of a library nothing else asks for by name.
    std::string copies = std::string(folder) + "/others";
    std::filesystem::create_directory(copies);
    for (int i = 0; i < others; ++i) {
        const std::string copy = copies + "/libother" + std::to_string(i) + ".so";
        std::filesystem::copy_file("/lib/x86_64-linux-gnu/libanl.so.1", copy);
        if (!dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            std::fprintf(stderr, "cannot open %s: %s\n", copy.c_str(), dlerror());
            return 1;
        }
    }
    BBXBinaryImagesQueue().drain();

    const auto direct = std::pair{reinterpret_cast<Open>(dlsym(RTLD_NEXT, "dlopen")),
                                  reinterpret_cast<Close>(dlsym(RTLD_NEXT, "dlclose"))};
    cpu_set_t cpus;
    sched_getaffinity(0, sizeof cpus, &cpus);
    const int cores = CPU_COUNT(&cpus);
    std::printf("dlopen + dlclose of %s with %d other libraries open, %d rounds of %d pairs, on %d core%s%s; load average %s\n",
                kLibrary, others, rounds, pairs, cores, cores == 1 ? "" : "s", cores == 2 ? "" : " (reference figures: taskset -c 0,1)",
                load().c_str());
    std::vector<double> kit, plain;
    batch(dlopen, dlclose, pairs, true);  // warm-up
    batch(direct.first, direct.second, pairs, false);
    for (int r = 0; r < rounds; ++r) {
        // Each goes first in every other round, so neither has the warmer caches.
        if (r % 2 == 0) {
            kit.push_back(batch(dlopen, dlclose, pairs, true));
            plain.push_back(batch(direct.first, direct.second, pairs, false));
        } else {
            plain.push_back(batch(direct.first, direct.second, pairs, false));
            kit.push_back(batch(dlopen, dlclose, pairs, true));
        }
    }
    std::printf("%-16s %12s %12s\n", "", "min us/pair", "median");
    std::printf("%-16s %12.2f %12.2f\n", "C library", minimum(plain), median(plain));
    std::printf("%-16s %12.2f %12.2f\n", "through the kit", minimum(kit), median(kit));
    std::printf("%-16s %11.2fx %11.2fx\n", "kit / C library", minimum(kit) / minimum(plain), median(kit) / median(plain));
    std::uintmax_t records = std::filesystem::file_size(std::string(folder) + "/binary_images.bbxrecord");
    std::printf("binary_images.bbxrecord after %d pairs: %ju bytes; load average at the end %s\n",
                (rounds + 1) * pairs, records, load().c_str());
    std::filesystem::remove_all(folder);
    return 0;
}
