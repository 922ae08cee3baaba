#include "base/LineTurns.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace base {

namespace {

using Clock = std::chrono::steady_clock;

struct Guests {
    std::mutex mutex;
    std::condition_variable changed;
    int sending = 0;
};

Guests& guests() {
    static auto* g = new Guests;
    return *g;
}

std::atomic<Clock::rep> gLastMoved{0};

}  // namespace

GuestSending::GuestSending() {
    auto& g = guests();
    std::lock_guard lock(g.mutex);
    ++g.sending;
}

void GuestSending::end() {
    if (ended_) return;
    ended_ = true;
    auto& g = guests();
    {
        std::lock_guard lock(g.mutex);
        --g.sending;
    }
    g.changed.notify_all();
}

bool guestIsSending() {
    auto& g = guests();
    std::lock_guard lock(g.mutex);
    return g.sending > 0;
}

std::size_t BackgroundTurn::take(std::size_t wanted) {
    auto& g = guests();
    std::unique_lock lock(g.mutex);
    if (g.sending == 0) return wanted;
    const auto next = lastTrickle_ + std::chrono::seconds(1);
    if (Clock::now() < next) {
        if (g.changed.wait_until(lock, next, [&] { return g.sending == 0; })) return wanted;
    }
    lastTrickle_ = Clock::now();
    return std::min(wanted, kTrickleBytes);
}

Clock::time_point lineLastMoved() { return Clock::time_point(Clock::duration(gLastMoved.load())); }

void noteLineMoved() { gLastMoved = Clock::now().time_since_epoch().count(); }

}  // namespace base
