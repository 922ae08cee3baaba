#include <gtest/gtest.h>

#include "LoopbackServer.h"
#include "TempDir.h"
#include "base/Crypto.h"
#include "base/Files.h"
#include "base/Gzip.h"
#include "base/Http.h"
#include "base/Json.h"
#include "base/Plist.h"

using testsupport::LoopbackServer;
using testsupport::Reply;

TEST(Http, SendsMethodHeadersBodyAndBasicAuthAndReadsTheReply) {
    LoopbackServer server;
    server.enqueue(Reply{201, {{"X-Answer", "yes"}}, "created"});
    base::HttpRequest req;
    req.method = "POST";
    req.url = server.baseUrl() + "/things?a=1";
    req.headers = {{"Content-Type", "application/json"}};
    req.body = R"({"x":1})";
    req.username = "user";
    req.password = "secret";
    auto resp = base::httpPerform(req);
    ASSERT_TRUE(resp.completed()) << resp.error;
    EXPECT_EQ(resp.status, 201);
    EXPECT_EQ(resp.body, "created");
    EXPECT_EQ(resp.header("x-answer").value_or(""), "yes");
    auto got = server.requests().at(0);
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.path, "/things");
    EXPECT_EQ(got.query, "a=1");
    EXPECT_EQ(got.body, R"({"x":1})");
    EXPECT_EQ(got.header("Authorization").value_or(""), "Basic " + base::base64Encode("user:secret"));
}

TEST(Http, StreamsAFileBodyAndDownloadsToAFile) {
    LoopbackServer server;
    testsupport::TempDir dir;
    std::string big(300000, 'z');
    ASSERT_TRUE(base::writeFileAtomically(dir.file("up.bin"), big));
    server.setHandler([&](const testsupport::RecordedRequest& r) { return Reply{200, {}, r.body}; });
    base::HttpRequest req;
    req.method = "PUT";
    req.url = server.baseUrl() + "/obj";
    req.bodyFile = dir.file("up.bin");
    req.downloadFile = dir.file("echo.bin");
    auto resp = base::httpPerform(req);
    ASSERT_TRUE(resp.completed()) << resp.error;
    EXPECT_EQ(base::readFile(dir.file("echo.bin")).value_or(""), big);
    EXPECT_EQ(server.requests().at(0).method, "PUT");
}

TEST(Http, TransportFailuresAndTimeoutsAreReportedNotStatus) {
    LoopbackServer server;
    server.enqueue(Reply{200, {}, "late", 3000});
    base::HttpRequest req;
    req.url = server.baseUrl() + "/slow";
    req.timeoutSeconds = 1;
    auto resp = base::httpPerform(req);
    EXPECT_FALSE(resp.completed());
    EXPECT_FALSE(resp.error.empty());

    base::HttpRequest closed;
    closed.url = "http://127.0.0.1:1/nothing";
    EXPECT_FALSE(base::httpPerform(closed).completed());
}

TEST(Http, TlsTrustsOnlyTheGivenRoots) {
    LoopbackServer server(testsupport::TlsFiles{testsupport::TestCerts::serverCert(), testsupport::TestCerts::serverKey()});
    base::HttpRequest req;
    req.url = server.baseUrl() + "/secure";
    req.caInfoBlob = base::readFile(testsupport::TestCerts::caCert()).value();
    EXPECT_TRUE(base::httpPerform(req).completed());
    req.caInfoBlob = base::readFile(testsupport::TestCerts::otherCaCert()).value();
    EXPECT_FALSE(base::httpPerform(req).completed());
}

TEST(FormEncoding, EscapesReservedCharactersSoAFormParserGetsTheValuesBack) {
    std::string body = base::formEncode({{"msg", "a&b=c+d e/é"}, {"to", "x@y.z"}});
    EXPECT_EQ(body, "msg=a%26b%3Dc%2Bd%20e%2F%C3%A9&to=x%40y.z");
    EXPECT_EQ(testsupport::RecordedRequest::field(body, "msg").value_or(""), "a&b=c+d e/é");
    EXPECT_EQ(base::urlDecode("a%26b+c%2"), "a&b c%2");
}

TEST(Formats, PlistRoundTripKeepsTypes) {
    nlohmann::json v = {{"s", "text"}, {"i", -5}, {"r", 1.5}, {"b", true},
                        {"a", {1, "two"}}, {"d", {{"nested", false}}}};
    v["data"] = nlohmann::json::binary({1, 2, 3, 0});
    auto xml = base::plistToXml(v);
    auto back = base::plistParse(xml);
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["s"], "text");
    EXPECT_EQ((*back)["i"].get<int64_t>(), -5);
    EXPECT_DOUBLE_EQ((*back)["r"].get<double>(), 1.5);
    EXPECT_EQ((*back)["b"], true);
    EXPECT_EQ((*back)["a"][1], "two");
    EXPECT_EQ((*back)["d"]["nested"], false);
    EXPECT_EQ((*back)["data"].get_binary().size(), 4u);
    auto bin = base::plistParse(base::plistToBinary(v));
    ASSERT_TRUE(bin);
    EXPECT_EQ((*bin)["s"], "text");
    EXPECT_FALSE(base::plistParse("<plist><dict><key>x</key>"));
    EXPECT_FALSE(base::plistParse(""));
}

TEST(Formats, GzipRoundTripAndRejectsTruncatedInput) {
    std::string data;
    for (int i = 0; i < 10000; ++i) data += "line " + std::to_string(i) + "\n";
    auto z = base::gzipCompress(data);
    ASSERT_TRUE(z);
    EXPECT_LT(z->size(), data.size());
    EXPECT_EQ(base::gzipDecompress(*z).value_or(""), data);
    EXPECT_FALSE(base::gzipDecompress(z->substr(0, z->size() / 2)));
}

TEST(Formats, DigestsAndEncodings) {
    EXPECT_EQ(base::md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(base::sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(base::hexEncode(base::hmacSha1("key", "The quick brown fox jumps over the lazy dog")),
              "de7c9b85b8b78aa6bc8a7a36f70a90701c9db4d9");
    for (std::string s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"})
        EXPECT_EQ(base::base64Decode(base::base64Encode(s)), s);
    EXPECT_EQ(base::base64Encode("foobar"), "Zm9vYmFy");
}

TEST(Formats, JsonCheckedAccessRejectsWrongTypes) {
    auto j = base::parseJson(R"({"s":"x","n":3,"f":2.5,"b":true,"o":{},"a":[]})");
    ASSERT_TRUE(j);
    EXPECT_EQ(base::jsonString(*j, "s").value_or(""), "x");
    EXPECT_FALSE(base::jsonString(*j, "n"));
    EXPECT_EQ(base::jsonInt(*j, "n").value_or(0), 3);
    EXPECT_FALSE(base::jsonInt(*j, "s"));
    EXPECT_FALSE(base::jsonBool(*j, "n"));
    EXPECT_TRUE(base::jsonObject(*j, "o"));
    EXPECT_FALSE(base::jsonObject(*j, "a"));
    EXPECT_FALSE(base::parseJson("{bad"));
    EXPECT_FALSE(base::jsonString(nlohmann::json::array(), "s"));
}

TEST(Files, AtomicWriteReplacesWholeAndLeavesNoTemporaryFiles) {
    testsupport::TempDir dir;
    auto p = dir.file("sub/settings.plist");
    ASSERT_TRUE(base::writeFileAtomically(p, "one"));
    ASSERT_TRUE(base::writeFileAtomically(p, "two"));
    EXPECT_EQ(base::readFile(p).value_or(""), "two");
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.file("sub"))) { (void)e; ++files; }
    EXPECT_EQ(files, 1);
    std::string err;
    EXPECT_FALSE(base::writeFileAtomically("/proc/nope/x", "y", &err));
    EXPECT_FALSE(err.empty());
}
