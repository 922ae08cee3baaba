#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "TrellisTestSupport.h"
#include "kits/trellis/TRLNetworkOperation.h"
#include "kits/trellis/TRLUtilities.h"

using trellistest::ScopedInfoPlist;

TEST(TrellisUtilities, HexAndSha1) {
    EXPECT_EQ(TRLHexStringFromData("abc"), "616263");
    EXPECT_EQ(TRLHexStringFromData(std::string("\x00\xff", 2)), "00ff");
    EXPECT_EQ(TRLSHA1HexStringFromData("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(TRLSHA1HexStringFromBytes(nullptr, 5), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

    // The buffer is cleared first and the terminator stays.
    char buf[7];
    std::memset(buf, 'x', sizeof buf);
    const unsigned char bytes[] = {0x0a, 0xb0, 0x01};
    TRLHexEncodeBytes(bytes, 3, buf);
    EXPECT_STREQ(buf, "0ab001");
    std::memset(buf, 'x', sizeof buf);
    TRLHexEncodeBytes(nullptr, 3, buf);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[6], '\0');
    TRLHexEncodeBytes(bytes, 3, nullptr);  // no buffer: nothing, no crash
}

TEST(TrellisUtilities, UUIDForms) {
    std::string a = TRLCreateUUIDString(), b = TRLCreateUUIDString();
    EXPECT_NE(a, b);
    EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"))) << a;
    std::uint8_t uuid[16];
    for (int i = 0; i < 16; ++i) uuid[i] = static_cast<std::uint8_t>(i * 17);
    EXPECT_EQ(TRLUUIDBytesToHexString(uuid), "00112233445566778899aabbccddeeff");
}

TEST(TrellisUtilities, ApplicationInformationFromTheDictionary) {
    {
        ScopedInfoPlist info({{"CFBundleIdentifier", "com.example/booth"},
                              {"CFBundleVersion", "42"},
                              {"CFBundleShortVersionString", "2.1"},
                              {"CFBundleName", "Booth"}});
        EXPECT_EQ(TRLBundleIdentifierNamespace(), "com.example_booth");
        EXPECT_EQ(TRLApplicationBuildVersion().value_or(""), "42");
        EXPECT_EQ(TRLApplicationDisplayVersion().value_or(""), "2.1");
        EXPECT_EQ(TRLApplicationDisplayName().value_or(""), "Booth");
        EXPECT_TRUE(TRLShouldCollectDeviceIdentifiers());
        EXPECT_EQ(TRLApplicationInstallationSource(), 1);
    }
    {
        ScopedInfoPlist info({{"CFBundleVersion", "7"},
                              {"BlackboxSignedForDistribution", true},
                              {"BlackboxCollectDeviceIdentifiers", true},
                              {"Trellis", {{"ReportIdentifiers", false}}}});
        EXPECT_EQ(TRLApplicationDisplayName().value_or(""), "7");  // neither display nor bundle name
        EXPECT_FALSE(TRLShouldCollectDeviceIdentifiers());           // the SDK's own switch comes first
        EXPECT_EQ(TRLApplicationInstallationSource(), 3);
        EXPECT_FALSE(TRLApplicationDisplayVersion());
    }
}

TEST(TrellisUtilities, HostInformationHasItsForms) {
    auto v = TRLHostOperatingSystemVersion();
    EXPECT_EQ(TRLHostOSDisplayVersion(),
              std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch));
    unsigned code = TRLHostOperatingSystemVersionCode();
    if (v.minor < 6 || v.minor > 11) {
        EXPECT_EQ(code, 0u);
        EXPECT_FALSE(TRLApplicationIsFromAppStore());
    }
    EXPECT_TRUE(TRLSysctlString("kern.ostype").has_value());
    EXPECT_FALSE(TRLSysctlString("kern.../../etc/passwd").has_value());
    EXPECT_FALSE(TRLSysctlString("no.such.name").has_value());
    auto model = TRLHostModel();
    ASSERT_TRUE(model.has_value());
    EXPECT_LE(model->size(), 127u);
}

TEST(TrellisUtilities, ObfuscatorRoundTripsAndRejectsBadData) {
    nlohmann::json dict = {{"key", "value"}, {"n", 3}, {"nested", {{"flag", true}}}};
    std::string data = TRLObfuscator::obfuscatedDataFromDictionary(dict);
    EXPECT_EQ(data.find('\n'), std::string::npos);
    EXPECT_EQ(TRLObfuscator::dictionaryWithObfuscatedData(data), dict);

    auto reasonOf = [](std::string_view input) {
        try {
            TRLObfuscator::dictionaryWithObfuscatedData(input);
        } catch (const TRLNamedException& e) {
            EXPECT_EQ(e.name(), "InvalidObfuscatedData");
            return e.reason();
        }
        return std::string("no exception");
    };
    EXPECT_EQ(reasonOf(""), "Attempting to deobfuscate nil or empty data.");
    EXPECT_EQ(reasonOf("!!!not base64!!!"), "Improperly obfuscated data.");
    EXPECT_EQ(reasonOf(TRLObfuscator::obfuscatedDataFromDictionary(nlohmann::json::array({1, 2}))),
              "Improperly obfuscated data.");
}

TEST(TrellisURLBuilder, EscapesValuesButNotNamesAndSkipsMissingValues) {
    auto b = TRLURLBuilder::URLWithBase("https://h.example/");
    b.appendComponent("spi/v2/platforms/");
    b.escapeAndAppendComponent("m a[c]");
    b.appendValue(std::nullopt, "skipped");
    EXPECT_EQ(b.queryParams(), 0u);
    b.appendValue(std::string("a b"), "first name");
    b.appendValue(5, "n");
    b.appendValue(std::string("x/y?z&=+:#%\"é"), "r");
    EXPECT_EQ(b.URLString(), "https://h.example/spi/v2/platforms/m%20a%5Bc%5D?first name=a%20b&n=5&r=x/y?z&=+:#%25%22%C3%A9");
    EXPECT_EQ(b.queryParams(), 3u);
    EXPECT_FALSE(b.URL());  // the unescaped name makes it no valid URL
    auto ok = TRLURLBuilder::URLWithBase("http://127.0.0.1:1/a");
    ok.appendValue(std::string("1"), "b");
    EXPECT_EQ(ok.URL().value_or(""), "http://127.0.0.1:1/a?b=1");
}

TEST(TrellisNetworkOperation, DefaultHeadersInOrder) {
    struct Op : TRLNetworkOperation {
        using TRLNetworkOperation::TRLNetworkOperation;
        void main() override {}
    };
    Op op("key-123");
    auto r = op.mutableRequestWithDefaultHTTPHeadersForURL("https://h.example/x", 2);
    EXPECT_EQ(r.timeoutInterval, 2);
    EXPECT_EQ(r.cachePolicy, TRLURLRequestCachePolicy::ReloadIgnoringLocalAndRemoteCacheData);
    std::vector<std::string> names;
    for (auto& h : r.headers) names.push_back(h.first);
    EXPECT_EQ(names, (std::vector<std::string>{"User-Agent", "Accept-Charset", "Accept-Language", "Content-Language",
                                               "X-Blackbox-Developer-Token", "X-Blackbox-API-Client-Id",
                                               "X-Blackbox-API-Client-Display-Version",
                                               "X-Blackbox-API-Client-Build-Version", "X-Blackbox-API-Key"}));
    EXPECT_EQ(r.valueForHTTPHeaderField("user-agent").value_or(""), "io.trellis.sdk.mac/1.6.1 (37)");
    EXPECT_EQ(r.valueForHTTPHeaderField("X-Blackbox-API-Key").value_or(""), "key-123");
    EXPECT_TRUE(std::regex_match(r.valueForHTTPHeaderField("X-Blackbox-Developer-Token").value_or(""),
                                 std::regex("[0-9a-f]{40}")));
    EXPECT_EQ(op.mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL("https://h.example").timeoutInterval, 10);
}
