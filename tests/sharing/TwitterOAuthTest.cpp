#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <fstream>

#include <nlohmann/json.hpp>

#include "LoopbackServer.h"
#include "TempDir.h"
#include "base/Files.h"
#include "sharing/OAuth1Signer.h"
#include "sharing/TwitterAPI.h"

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;

namespace {

// Checks the Authorization header of a captured request with the oauth-1.0a
// package from the npm registry, an implementation independent of ours.
std::string verifyWithIndependentPeer(const RecordedRequest& request, const std::string& url,
                                      const std::string& consumerSecret, const std::string& tokenSecret) {
    const std::string dir = FLASHWREN_SOURCE_DIR "/tests/sharing/oauth-check";
    if (!std::ifstream(NPM_MODULES_DIR "/oauth-1.0a/package.json")) return "the oauth-1.0a package is missing";
    testsupport::TempDir tmp;
    nlohmann::json input = {{"method", request.method},
                            {"url", url},
                            {"authorization", request.header("Authorization").value_or("")},
                            {"body", request.body},
                            {"contentType", request.header("Content-Type").value_or("")},
                            {"consumerSecret", consumerSecret},
                            {"tokenSecret", tokenSecret}};
    base::writeFileAtomically(tmp.file("in.json"), input.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    std::string command = "NODE_PATH=" NPM_MODULES_DIR " node " + dir + "/verify.js < " + tmp.file("in.json");
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "cannot run node";
    std::string out;
    char buf[256];
    while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    ::pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::map<std::string, std::string> oauthFields(const std::string& header) {
    std::map<std::string, std::string> fields;
    for (auto& [k, v] : OAuth1Signer::decodeForm([&] {
             std::string s = header.substr(6);  // "OAuth "
             std::string out;
             for (char c : s)
                 if (c != '"' && c != ' ') out += c == ',' ? '&' : c;
             return out;
         }()))
        fields[k] = v;
    return fields;
}

}  // namespace

TEST(OAuth1Signer, BaseStringMatchesTheWorkedExampleOfTheRfc) {
    // POST /request?b5=%3D%253D&a3=a&c%40=&a2=r%20b with the body "c2&a3=2+q".
    std::string base = OAuth1Signer::signatureBaseString(
        "post", "http://EXAMPLE.com:80/request?b5=%3D%253D&a3=a&c%40=&a2=r%20b",
        {{"oauth_consumer_key", "9djdj82h48djs9d2"},
         {"oauth_token", "kkk9d7dh3k39sjv7"},
         {"oauth_signature_method", "HMAC-SHA1"},
         {"oauth_timestamp", "137131201"},
         {"oauth_nonce", "7d8f3e4a"}},
        OAuth1Signer::decodeForm("c2&a3=2+q"));
    EXPECT_EQ(base,
              "POST&http%3A%2F%2Fexample.com%2Frequest&a2%3Dr%2520b%26a3%3D2%2520q%26a3%3Da%26b5%3D%253D%25253D%26c%"
              "2540%3D%26c2%3D%26oauth_consumer_key%3D9djdj82h48djs9d2%26oauth_nonce%3D7d8f3e4a%26oauth_signature_"
              "method%3DHMAC-SHA1%26oauth_timestamp%3D137131201%26oauth_token%3Dkkk9d7dh3k39sjv7");
}

TEST(OAuth1Signer, SignaturesMatchTheRfcsThreeRequests) {
    const std::string clientSecret = "kd94hf93k423kf44";
    auto sign = [&](const std::string& method, const std::string& url, const OAuth1Signer::Params& oauth,
                    const std::string& tokenSecret) {
        return OAuth1Signer::sign(OAuth1Signer::signatureBaseString(method, url, oauth, {}), clientSecret,
                                  tokenSecret);
    };
    EXPECT_EQ(sign("POST", "https://photos.example.net/initiate",
                   {{"oauth_consumer_key", "dpf43f3p2l4k3l03"},
                    {"oauth_signature_method", "HMAC-SHA1"},
                    {"oauth_timestamp", "137131200"},
                    {"oauth_nonce", "wIjqoS"},
                    {"oauth_callback", "http://printer.example.com/ready"}},
                   ""),
              "74KNZJeDHnMBp0EMJ9ZHt/XKycU=");
    EXPECT_EQ(sign("POST", "https://photos.example.net/token",
                   {{"oauth_consumer_key", "dpf43f3p2l4k3l03"},
                    {"oauth_token", "hh5s93j4hdidpola"},
                    {"oauth_signature_method", "HMAC-SHA1"},
                    {"oauth_timestamp", "137131201"},
                    {"oauth_nonce", "walatlh"},
                    {"oauth_verifier", "hfdp7dh39dks9884"}},
                   "hdhd0244k9j7ao03"),
              "gKgrFCywp7rO0OXSjdot/IHF7IU=");
    EXPECT_EQ(sign("GET", "http://photos.example.net/photos?file=vacation.jpg&size=original",
                   {{"oauth_consumer_key", "dpf43f3p2l4k3l03"},
                    {"oauth_token", "nnch734d00sl2jdk"},
                    {"oauth_signature_method", "HMAC-SHA1"},
                    {"oauth_timestamp", "137131202"},
                    {"oauth_nonce", "chapoH"}},
                   "pfkkdhi9sl3r4s00"),
              "MdpQcU8iPSUjWoN/UDMsK2sui9I=");
}

TEST(OAuth1Signer, HeaderEncodesEveryValueAndNoncesDoNotRepeat) {
    std::string header = OAuth1Signer::authorizationHeader(
        "POST", "https://api.example/x", {}, {"key", "secret", "tok en", "ts"}, {{"oauth_callback", "oob"}}, "n1",
        "100");
    EXPECT_EQ(header.rfind("OAuth oauth_callback=\"oob\", oauth_consumer_key=\"key\", oauth_nonce=\"n1\"", 0), 0u)
        << header;
    EXPECT_NE(header.find("oauth_token=\"tok%20en\""), std::string::npos);
    EXPECT_NE(header.find("oauth_version=\"1.0\""), std::string::npos);
    std::set<std::string> nonces;
    for (int i = 0; i < 200; ++i) {
        std::string nonce = OAuth1Signer::makeNonce();
        EXPECT_EQ(nonce.size(), 32u);
        EXPECT_EQ(nonce.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
                  std::string::npos);
        nonces.insert(nonce);
    }
    EXPECT_EQ(nonces.size(), 200u);
}

TEST(TwitterAPI, RunsThePinFlowWithRequestsAnIndependentPeerAccepts) {
    LoopbackServer server;
    server.setHandler([](const RecordedRequest& r) -> Reply {
        if (r.path == "/oauth/request_token") return {200, {}, "oauth_token=req%2Btok&oauth_token_secret=reqsecret&oauth_callback_confirmed=true"};
        if (r.path == "/oauth/access_token")
            return {200, {}, "oauth_token=acc-tok&oauth_token_secret=acc-secret&user_id=42&screen_name=ava_b"};
        if (r.path == "/1.1/statuses/update_with_media.json") return {200, {}, R"({"id_str":"1"})"};
        return {404, {}, ""};
    });
    testsupport::TempDir dir;
    base::writeFileAtomically(dir.file("print.jpg"), std::string("\xFF\xD8jpeg\0bytes", 12));
    TwitterAPI api(QString::fromStdString(server.baseUrl()), "consumer-key", "consumer-secret");

    QString error;
    auto requestToken = api.postTokenRequest(&error);
    ASSERT_TRUE(requestToken) << error.toStdString();
    EXPECT_EQ(requestToken->token, "req+tok");
    EXPECT_EQ(requestToken->authorizeURL.toStdString(), server.baseUrl() + "/oauth/authorize?oauth_token=req%2Btok");

    auto access = api.postAccessTokenRequestWithPIN(*requestToken, " 1234567 ", &error);
    ASSERT_TRUE(access) << error.toStdString();
    EXPECT_EQ(access->screenName, "ava_b");
    ASSERT_TRUE(api.postStatusUpdate("Zoë's party & more", QString::fromStdString(dir.file("print.jpg")), *access, &error))
        << error.toStdString();

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    auto first = oauthFields(requests[0].header("Authorization").value_or(""));
    EXPECT_EQ(first["oauth_callback"], "oob");
    EXPECT_EQ(first.count("oauth_token"), 0u);
    auto second = oauthFields(requests[1].header("Authorization").value_or(""));
    EXPECT_EQ(second["oauth_token"], "req+tok");
    EXPECT_EQ(second["oauth_verifier"], "1234567");
    auto third = oauthFields(requests[2].header("Authorization").value_or(""));
    EXPECT_EQ(third["oauth_token"], "acc-tok");
    EXPECT_NE(first["oauth_nonce"], third["oauth_nonce"]);
    EXPECT_NE(requests[2].body.find("name=\"status\"\r\n\r\nZoë's party & more\r\n"), std::string::npos);
    EXPECT_NE(requests[2].body.find(std::string("\xFF\xD8jpeg\0bytes", 12)), std::string::npos);

    EXPECT_EQ(verifyWithIndependentPeer(requests[0], server.baseUrl() + requests[0].target, "consumer-secret", ""),
              "valid");
    EXPECT_EQ(
        verifyWithIndependentPeer(requests[1], server.baseUrl() + requests[1].target, "consumer-secret", "reqsecret"),
        "valid");
    EXPECT_EQ(
        verifyWithIndependentPeer(requests[2], server.baseUrl() + requests[2].target, "consumer-secret", "acc-secret"),
        "valid");
    // A wrong secret is caught by the peer, so the check above means something.
    EXPECT_NE(verifyWithIndependentPeer(requests[2], server.baseUrl() + requests[2].target, "consumer-secret", "x"),
              "valid");
}

TEST(TwitterAPI, ReportsTwittersOwnErrorMessagesAndMissingTokens) {
    LoopbackServer server;
    server.enqueue({401, {}, R"({"errors":[{"code":32,"message":"Could not authenticate you."}]})"});
    server.enqueue({200, {}, "oauth_callback_confirmed=true"});
    server.enqueue({500, {}, "<html>oops</html>"});
    TwitterAPI api(QString::fromStdString(server.baseUrl()), "k", "s");
    QString error;
    EXPECT_FALSE(api.postTokenRequest(&error));
    EXPECT_EQ(error, "Could not authenticate you.");
    EXPECT_FALSE(api.postTokenRequest(&error));
    EXPECT_EQ(error, "Twitter sent no request token.");
    EXPECT_FALSE(api.postAccessTokenRequestWithPIN({"t", "s", {}}, "1", &error));
    EXPECT_EQ(error, "Twitter answered with status 500.");
    server.stop();
    EXPECT_FALSE(api.postTokenRequest(&error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(api.postStatusUpdate("x", "/nonexistent/photo.jpg", {"a", "b", "", ""}, &error));
    EXPECT_TRUE(error.contains("could not be read"));
}
