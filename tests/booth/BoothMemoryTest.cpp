// A booth runs a whole event: what its threads free must not stay with the
// process. Image-sized blocks (live-view frames, photos, prints) come and go
// on many threads; kept in each thread's heap once freed, they would add up
// over the sessions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "booth/FlashwrenMain.h"

namespace {

// The process's anonymous resident memory in KB.
long residentAnonymousKB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
    return -1;
}

void* touched(std::size_t size) {
    auto* block = static_cast<char*>(std::malloc(size));
    std::memset(block, 1, size);
    static volatile char sink;
    sink = block[size - 1];
    return block;
}

}  // namespace

TEST(BoothMemory, ImageSizedBlocksFreedOnAWorkerThreadGoBackToTheSystem) {
    returnLargeBlocksWhenFreed();
    constexpr std::size_t kFrame = 4u << 20;
    // Worker threads come and go, and a new one takes over the heap of one
    // that ended: a few of them, one after the other.
    for (int worker = 0; worker < 3; ++worker) {
        long kept = 0;
        std::thread([&] {
            // A first block of that size, freed: the allocator learns the size.
            std::free(touched(kFrame));
            const long before = residentAnonymousKB();
            // Frames with small blocks still in use between them, as in a busy heap.
            std::vector<void*> frames, small;
            for (int i = 0; i < 8; ++i) {
                frames.push_back(touched(kFrame));
                small.push_back(touched(3000 + i));
            }
            for (void* frame : frames) std::free(frame);
            kept = residentAnonymousKB() - before;
            for (void* block : small) std::free(block);
        }).join();
        EXPECT_LT(kept, 8 * 1024) << "worker " << worker << ": " << kept / 1024 << " MB of freed frames stay resident";
    }
}
