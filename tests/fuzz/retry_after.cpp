// The back-off the SDK core's client takes from a server's "Retry-After".
// Input: the number of earlier tries, the jitter's draw, then the header's
// text. Whatever the header says, the wait is finite and under the spread
// above the hour; a delay the server named (a number or a date) is waited at
// least, up to that hour, and never under a second; and the retry is timed to
// the wait: not a moment before, not long after.
// fuzz-links: trellis
#include <chrono>
#include <cstdlib>

#include "FuzzSupport.h"
#include "base/Scheduler.h"
#include "kits/trellis/TRLNetworkClient.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static const auto client = TRLNetworkClient::create();
    const unsigned tries = data[0];
    const double draw = data[1] / 256.0;
    client->setRandomSource([draw] { return draw; });
    // Dates are read against one fixed moment, so that every reading agrees.
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000));
    client->setWallClock([now] { return now; });
    TRLHTTPURLResponse response;
    response.statusCode = 503;
    response.headers = {{"Retry-After", std::string(fuzzsupport::bytes(data + 2, size - 2))}};

    // The client times the retry on a clock of its own, which moves only when
    // told: the delay goes onto the scheduler's clock there.
    auto clock = std::make_shared<base::ManualTimeSource>();
    base::Scheduler scheduler(clock);
    client->setScheduler(&scheduler);
    bool fired = false;
    client->runAfterRetryValueFromResponse(&response, tries, nullptr, [&fired] { fired = true; });

    const double delay = client->computeDelayForResponse(&response, tries);
    const double asked = TRLNetworkResponseHandler::retryValueForResponse(&response, now);
    if (!(delay >= kTRLMinimumRetryDelay && delay < kTRLRetrySpread * kTRLMaximumRetryDelay)) std::abort();
    if (asked != 300 && delay < std::min(std::max(asked, kTRLMinimumRetryDelay), kTRLMaximumRetryDelay)) std::abort();
    const auto wait = std::chrono::duration_cast<base::Duration>(std::chrono::duration<double>(delay));
    const auto early = std::chrono::milliseconds(1);
    if (wait > early) {
        clock->advance(wait - early);
        if (fired) std::abort();
    }
    clock->advance(2 * early);
    if (!fired) std::abort();
    client->setScheduler(nullptr);
    return 0;
}
