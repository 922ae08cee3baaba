#pragma once
// Turns on a shared line. A booth at an event often has one slow line for
// everything: while a request that a guest waits on is being sent, the
// booth's own background uploads hold back to a trickle that keeps their
// connections open, so the guest's request has the line.
#include <chrono>
#include <cstddef>

namespace base {

enum class LinePriority {
    Normal,      // takes its share of the line
    Guest,       // a guest waits on it: background requests hold back while it is sent
    Background,  // the booth's own work: holds back while a guest's request is sent
};

// While one lives, a guest's request is being sent.
class GuestSending {
public:
    GuestSending();
    ~GuestSending() { end(); }
    GuestSending(const GuestSending&) = delete;
    GuestSending& operator=(const GuestSending&) = delete;
    // The request is out whole: the line is free again.
    void end();

private:
    bool ended_ = false;
};

bool guestIsSending();

// How much of a background request's body goes next: all it asks for while
// no guest's request is sent; otherwise kTrickleBytes a second, the call
// waiting for its turn. The trickle keeps the held connection from looking
// idle to its peer and to the request's own silence limit.
class BackgroundTurn {
public:
    static constexpr std::size_t kTrickleBytes = 512;
    std::size_t take(std::size_t wanted);

private:
    std::chrono::steady_clock::time_point lastTrickle_{};
};

// When any request last saw the line move (the peer took some of it or
// answered); the epoch when none has.
std::chrono::steady_clock::time_point lineLastMoved();
void noteLineMoved();

}  // namespace base
