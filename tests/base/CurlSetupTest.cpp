#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "LoopbackServer.h"
#include "ScopedEnv.h"
#include "base/Http.h"

using testsupport::LoopbackServer;
using testsupport::Reply;
using testsupport::ScopedEnv;

// A desktop proxy setting must not capture the booth's loopback traffic (its
// own gallery, the tests' servers): the SDK's sessions already went direct,
// and the HTTP client now shares their set-up.
TEST(CurlSetup, LoopbackRequestsNeverGoThroughAnEnvironmentProxy) {
    LoopbackServer server;
    server.enqueue(Reply{200, {{"X-Direct", "  yes  "}}, "direct"});
    // Nothing listens on port 1: a request sent to the proxy fails.
    ScopedEnv http("http_proxy", "http://127.0.0.1:1");
    ScopedEnv upper("HTTP_PROXY", "http://127.0.0.1:1");
    ScopedEnv all("ALL_PROXY", "http://127.0.0.1:1");
    base::HttpRequest request;
    request.url = server.baseUrl() + "/direct";
    auto response = base::httpPerform(request);
    ASSERT_TRUE(response.completed()) << response.error;
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "direct");
    EXPECT_EQ(response.header("x-direct").value_or(""), "yes");
    EXPECT_EQ(server.requestCount(), 1u);
}
