// A request's limits count silence, not the length of the transfer: a body
// the peer takes slowly but steadily, or an answer that comes late, is not
// cut; a peer that stops taking the body, or never answers, is.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "LoopbackServer.h"
#include "SilentServer.h"
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

// A request given up while the peer had stopped reading it must not reach the
// peer whole once it reads on: the booth would send it again.
TEST(RequestSilence, ARequestCutWhileThePeerPausesNeverReachesItWhole) {
    LoopbackServer pauses;
    pauses.setReading(0, 1024, 3000);
    auto cut = base::httpPerform(post(pauses, 16 * 1024));  // all of it fits in the buffers on the way
    EXPECT_EQ(cut.cut, base::HttpResponse::Cut::SendSilent);
    EXPECT_FALSE(cut.requestSent);
    ASSERT_TRUE(testsupport::waitUntil([&] { return pauses.openConnections() == 0; }, 15s));
    EXPECT_EQ(pauses.requestCount(), 0u) << "the peer read the cut request whole after its pause";
}

TEST(RequestSilence, AnAnswerThatTricklesIsAwaitedAndOneThatBreaksCountsAsSent) {
    LoopbackServer server;
    server.enqueue(Reply{200, {}, "slowly", 0, false, 400});  // 2.4 s in all, never 1 s still
    auto request = post(server, 1000);
    request.answerWait = 1s;
    auto trickled = base::httpPerform(request);
    EXPECT_TRUE(trickled.completed()) << trickled.error;
    EXPECT_EQ(trickled.body, "slowly");

    // Without silence limits too: the answer began, so the request was taken.
    server.enqueue(Reply{200, {{"Content-Length", "100"}}, "part", 0, false, 0, true});
    request.sendSilence = request.answerWait = 0s;
    auto broken = base::httpPerform(request);
    EXPECT_FALSE(broken.completed());
    EXPECT_TRUE(broken.requestSent);
}

// A connection lost with the last byte of a request unacknowledged is one
// whose request was not taken: the count must not be one ahead.
TEST(RequestSilence, WhatThePeerAcknowledgedIsCountedToTheByte) {
    testsupport::SilentServer peer;  // the kernel takes connections and data for it
    ASSERT_TRUE(peer.listening());
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(peer.port())), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(base::tcpProgress(client).acknowledged, 0);
    ASSERT_EQ(::send(client, std::string(1000, 'x').data(), 1000, 0), 1000);
    EXPECT_TRUE(testsupport::waitUntil([&] { return base::tcpProgress(client).acknowledged >= 1000; }));
    EXPECT_EQ(base::tcpProgress(client).acknowledged, 1000);
    EXPECT_EQ(base::tcpProgress(client).neverSent, 0);
    ::close(client);
}

// Connecting keeps the request's connect limit: a TLS handshake slower than
// the silence limit is not silence of the request.
TEST(RequestSilence, ASlowConnectIsNotCut) {
    LoopbackServer tls(testsupport::TlsFiles{testsupport::TestCerts::serverCert(), testsupport::TestCerts::serverKey()});
    tls.setHandshakeDelay(2500);
    auto request = post(tls, 1000);
    request.caFile = testsupport::TestCerts::caCert();
    auto response = base::httpPerform(request);
    EXPECT_TRUE(response.completed()) << response.error;
    EXPECT_EQ(response.cut, base::HttpResponse::Cut::None);
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
