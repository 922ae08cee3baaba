// A request's limits count silence, not the length of the transfer: a body
// the peer takes slowly but steadily, or an answer that comes late, is not
// cut; a peer that stops taking the body, or never answers, is.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "LoopbackServer.h"
#include "Wait.h"
#include "base/Http.h"

namespace {

using namespace std::chrono_literals;
using testsupport::LoopbackServer;
using testsupport::Reply;

base::HttpRequest post(const LoopbackServer& server, std::size_t bodySize) {
    base::HttpRequest request;
    request.method = "POST";
    request.url = server.baseUrl() + "/mail";
    request.body = std::string(bodySize, 'x');
    request.timeoutSeconds = 0;
    request.sendSilence = 1s;
    request.answerWait = 2s;
    return request;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(RequestSilence, ABodyTakenSlowlyButSteadilyAndALateAnswerAreNotCut) {
    LoopbackServer server;
    // About 2.5 s for the body: longer than the silence limit, never silent.
    server.setReading(64 * 1024);
    server.enqueue(Reply{200, {}, "taken", 1500});  // later than the silence limit too
    const auto start = std::chrono::steady_clock::now();
    auto response = base::httpPerform(post(server, 160 * 1024));
    ASSERT_TRUE(response.completed()) << response.error << " after " << secondsSince(start) << " s";
    EXPECT_EQ(response.body, "taken");
    EXPECT_TRUE(response.requestSent);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body.size(), 160u * 1024);
}

TEST(RequestSilence, APeerThatStopsTakingTheBodyOrNeverAnswersIsCutAfterTheSilence) {
    LoopbackServer stops;
    stops.setReading(0, 32 * 1024);
    auto start = std::chrono::steady_clock::now();
    // More than every buffer on the way holds.
    auto cut = base::httpPerform(post(stops, 16 * 1024 * 1024));
    EXPECT_FALSE(cut.completed());
    EXPECT_EQ(cut.cut, base::HttpResponse::Cut::SendSilent);
    EXPECT_FALSE(cut.requestSent) << "the service cannot have acted on part of a request";
    EXPECT_EQ(cut.error, "nothing of the request moved in 1 s");
    EXPECT_LT(secondsSince(start), 8.0);

    LoopbackServer silent;
    silent.enqueue(Reply{200, {}, "too late", 60000});
    start = std::chrono::steady_clock::now();
    auto unanswered = base::httpPerform(post(silent, 1000));
    EXPECT_FALSE(unanswered.completed());
    EXPECT_EQ(unanswered.cut, base::HttpResponse::Cut::NoAnswer);
    EXPECT_TRUE(unanswered.requestSent) << "the service may have acted on it";
    EXPECT_EQ(unanswered.error, "no answer in 2 s");
    EXPECT_GE(secondsSince(start), 1.9);
    EXPECT_LT(secondsSince(start), 8.0);

}

TEST(SharedLine, ABackgroundUploadHoldsBackWhileAGuestsRequestIsSentAndIsNotCutForIt) {
    LoopbackServer guestPeer, backgroundPeer;
    guestPeer.setReading(32 * 1024);  // the guest's 128 KB take four seconds
    auto guestRequest = post(guestPeer, 128 * 1024);
    guestRequest.priority = base::LinePriority::Guest;
    auto guest = std::async(std::launch::async, [&] { return base::httpPerform(guestRequest); });
    ASSERT_TRUE(testsupport::waitUntil([&] { return guestPeer.bytesRead() > 0; }));

    // Held longer than its own silence limit: the trickle keeps it moving.
    auto backgroundRequest = post(backgroundPeer, 4 * 1024 * 1024);
    backgroundRequest.priority = base::LinePriority::Background;
    auto background = std::async(std::launch::async, [&] { return base::httpPerform(backgroundRequest); });
    ASSERT_TRUE(testsupport::waitUntil([&] { return guestPeer.bytesRead() >= 112 * 1024; }));
    EXPECT_LT(backgroundPeer.bytesRead(), 32u * 1024) << "the guest's request has the line while it is sent";

    EXPECT_TRUE(guest.get().completed());
    auto done = background.get();
    ASSERT_TRUE(done.completed()) << done.error;
    ASSERT_EQ(backgroundPeer.requests().size(), 1u);
    EXPECT_EQ(backgroundPeer.requests()[0].body.size(), 4u * 1024 * 1024);
}

}  // namespace
