#include "kits/tally/TallyLog.h"

namespace tally {

namespace {
std::atomic<int> gOverride{-1};
}

bool debugEnabled() {
    int o = gOverride.load(std::memory_order_relaxed);
    if (o >= 0) return o != 0;
    return false;
}

void setDebugOverride(int value) { gOverride.store(value, std::memory_order_relaxed); }

}  // namespace tally
