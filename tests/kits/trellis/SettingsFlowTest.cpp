#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "LoopbackServer.h"
#include "base/Crypto.h"
#include "TrellisTestSupport.h"
#include "kits/trellis/Trellis.h"

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;
using testsupport::TestCerts;
using trellistest::ScopedInfoPlist;
using trellistest::waitUntil;

namespace fs = std::filesystem;

namespace {

const char* kBundle = "com.example.booth";

nlohmann::json infoFor(const std::string& endpoint, const std::string& bundle = kBundle) {
    return {{"CFBundleIdentifier", bundle},
            {"CFBundleVersion", "100"},
            {"CFBundleShortVersionString", "1.0.0"},
            {"CFBundleName", "Booth"},
            {"Trellis", {{"APIKey", "api-key-1"}, {"Kits", nlohmann::json::array()}}},
            {"Blackbox", {{"SettingsEndpoint", endpoint}, {"ConfigureEndpoint", endpoint}}}};
}

Reply json(const std::string& body) { return Reply{200, {{"Content-Type", "application/json"}}, body}; }

// One SDK core instance over a loopback HTTPS server that pins the test root,
// with its own home, defaults store and notification centre.
struct Flow {
    testsupport::ScopedHome home;
    LoopbackServer server{testsupport::TlsFiles{TestCerts::serverCert(), TestCerts::serverKey()}};
    std::unique_ptr<ScopedInfoPlist> info;
    testsupport::TempDir defaultsDir;
    BBXUserDefaults defaults{defaultsDir.path()};
    base::NotificationCenter center;
    std::atomic<int> notifications{0};
    std::unique_ptr<Trellis> sdk;

    explicit Flow(const std::string& bundle = kBundle) {
        info = std::make_unique<ScopedInfoPlist>(infoFor(server.baseUrl(), bundle));
        center.addObserver(kTRLSettingsAvailableNotification, nullptr, nullptr,
                           [this](const base::Notification&) { ++notifications; });
    }
    Trellis& make() {
        Trellis::Environment env;
        env.defaults = &defaults;
        env.settings.pinnedCertificates =
            TRLCertificateList{TRLCertificate::fromPEM(base::readFile(TestCerts::caCert()).value_or(""))};
        env.settings.notificationCenter = &center;
        sdk = std::make_unique<Trellis>(env);
        return *sdk;
    }
    // Runs the flow to its end: the manager's client is invalidated and idle.
    bool run() {
        if (!sdk) make();
        sdk->startWithKits({});
        auto client = sdk->settingsAndOnboardingManager()->networkClient();
        return waitUntil([&] { return client->session()->isInvalidated() && client->session()->taskCount() == 0; });
    }
    std::string settingsFile() const {
        return home.path() + "/.cache/io.trellis.sdk.mac.data/" + kBundle + "/settings.json";
    }
    std::vector<std::string> methods() {
        std::vector<std::string> out;
        for (auto& r : server.requests()) out.push_back(r.method + " " + r.path);
        return out;
    }
};

const std::string kSettingsPath = std::string("/spi/v2/platforms/mac/apps/") + kBundle + "/settings";

}  // namespace

TEST(TrellisSettingsFlow, NewApplicationIsCreatedThenSettingsFetchedAgain) {
    Flow flow;
    int gets = 0;
    flow.server.setHandler([&](const RecordedRequest& r) {
        if (r.method == "POST") return Reply{201, {}, ""};
        return json(++gets == 1 ? R"({"app":{"status":"new"}})" : R"({"app":{"status":"activated"},"features":{}})");
    });
    ASSERT_TRUE(flow.run());
    EXPECT_EQ(flow.methods(), (std::vector<std::string>{"GET " + kSettingsPath, "POST /spi/v1/platforms/mac/apps",
                                                        "GET " + kSettingsPath}));
    EXPECT_EQ(flow.notifications.load(), 1);
    ASSERT_TRUE(flow.sdk->settings());
    EXPECT_EQ((*flow.sdk->settings())["app"]["status"], "activated");
    EXPECT_TRUE(flow.sdk->settingsAndOnboardingManager()->hasAttemptedAppConfigure());

    // The settings request: query and headers exactly.
    auto requests = flow.server.requests();
    const auto& get = requests.at(0);
    EXPECT_EQ(get.query, "build_version=100&display_version=1.0.0&instance=" + *flow.sdk->instanceIdentifier() +
                             "&source=1");
    EXPECT_EQ(get.header("Accept").value_or(""), "application/json");
    EXPECT_EQ(get.header("X-Blackbox-Installation-ID").value_or(""), flow.sdk->installID());
    EXPECT_EQ(get.header("X-Blackbox-API-Key").value_or(""), "api-key-1");
    EXPECT_EQ(get.header("X-Blackbox-API-Client-Version").value_or(""), "1.6.1");
    EXPECT_EQ(get.header("X-Blackbox-OS-Display-Version").value_or(""), TRLHostOSDisplayVersion());
    EXPECT_EQ(get.header("User-Agent").value_or(""), "io.trellis.sdk.mac/1.6.1 (37)");
    EXPECT_FALSE(get.header("X-Blackbox-Advertising-Token"));

    // The create request's form, read by an independent parser.
    const auto& post = requests.at(1);
    EXPECT_EQ(post.header("Content-Length").value_or(""), std::to_string(post.body.size()));
    std::string parts = trellistest::parseMultipartWithPython(post.header("Content-Type").value_or(""), post.body);
    auto line = [](const std::string& name, const std::string& value) {
        return name + " None text/plain " + trellistest::hex(value) + "\n";
    };
    auto model = flow.sdk->applicationIdentifierModel();
    std::string expected = line("app[identifier]", kBundle) +
                           line("app[instance_identifier]", model->instanceIdentifier()) + line("app[name]", "Booth") +
                           line("app[build_version]", "100") + line("app[display_version]", "1.0.0") +
                           line("app[source]", "1") + line("app[minimum_sdk_version]", model->minimumSDKString()) +
                           line("app[built_sdk_version]", model->builtSDKString()) +
                           line("app[build][libraries][io.trellis.sdk.mac]", "1.6.1");
    for (auto& [arch, uuid] : model->architectureUUIDMap())
        expected += line("app[slices][][arch]", arch) + line("app[slices][][uuid]", uuid);
    EXPECT_EQ(parts, expected);
}

TEST(TrellisSettingsFlow, UpdateRequiredNotifiesFirstThenSendsTheUpdate) {
    Flow flow;
    int notifiedBeforePut = -1;
    flow.server.setHandler([&](const RecordedRequest& r) {
        if (r.method == "PUT") {
            notifiedBeforePut = flow.notifications.load();
            return Reply{200, {}, ""};
        }
        return json(R"({"app":{"status":"activated","update_required":true}})");
    });
    ASSERT_TRUE(flow.run());
    EXPECT_EQ(flow.methods(), (std::vector<std::string>{"GET " + kSettingsPath,
                                                        std::string("PUT /spi/v1/platforms/mac/apps/") + kBundle}));
    EXPECT_EQ(notifiedBeforePut, 1);
    EXPECT_EQ(flow.notifications.load(), 1);
}

TEST(TrellisSettingsFlow, EmptyBrokenOrMisshapenRepliesLeaveNoSettingsButNotify) {
    for (std::string body : {"", "{not json", "[1,2,3]", R"({"app":null})", R"({"app":{"status":5}})",
                             R"({"app":"new"})"}) {
        Flow flow;
        flow.server.setHandler([&](const RecordedRequest&) { return json(body); });
        ASSERT_TRUE(flow.run()) << body;
        EXPECT_EQ(flow.notifications.load(), 1) << body;
        EXPECT_EQ(flow.server.requestCount(), 1u) << body;  // never onboarded
        bool parsesAsObject = body.size() > 1 && body[0] == '{' && body[1] == '"';
        EXPECT_EQ(flow.sdk->settings() != nullptr, parsesAsObject) << body;
        EXPECT_EQ(fs::exists(flow.settingsFile()), parsesAsObject) << body;
    }
}

TEST(TrellisSettingsFlow, FailedDownloadsKeepTheOldFileAndPostNothing) {
    std::vector<Reply> replies = {
        Reply{200, {{"Content-Type", "text/html"}}, "<html>"},        // wrong content type
        Reply{200, {}, R"({"app":{}})"},                              // no content type
        json("{\"pad\":\"" + std::string(1 << 20, 'x') + "\"}"),      // larger than the cap
        Reply{404, {}, ""},
    };
    for (auto& reply : replies) {
        Flow flow;
        fs::create_directories(fs::path(flow.settingsFile()).parent_path());
        ASSERT_TRUE(base::writeFileAtomically(flow.settingsFile(), R"({"app":{"status":"old"}})"));
        flow.server.enqueue(reply);
        ASSERT_TRUE(flow.run());
        EXPECT_EQ(flow.notifications.load(), 0);
        EXPECT_EQ(base::readFile(flow.settingsFile()).value_or(""), R"({"app":{"status":"old"}})");
        EXPECT_EQ((*flow.sdk->settings())["app"]["status"], "old");  // the previous run's file still answers
    }
}

TEST(TrellisSettingsFlow, FailedCreationEndsWithoutNotification) {
    Flow flow;
    flow.server.setHandler([&](const RecordedRequest& r) {
        if (r.method == "POST") return Reply{422, {}, "bad"};
        return json(R"({"app":{"status":"new"}})");
    });
    ASSERT_TRUE(flow.run());
    EXPECT_EQ(flow.server.requestCount(), 2u);
    EXPECT_EQ(flow.notifications.load(), 0);
}

TEST(TrellisSettingsFlow, NewSettingsReplaceTheOldAndStrayFilesGo) {
    Flow flow;
    auto dir = fs::path(flow.settingsFile()).parent_path();
    fs::create_directories(dir);
    ASSERT_TRUE(base::writeFileAtomically(flow.settingsFile(), R"({"old":true})"));
    ASSERT_TRUE(base::writeFileAtomically((dir / "stray.tmp").string(), "x"));
    flow.server.enqueue(json(R"({"features":{"collect_analytics":true}})"));
    auto& sdk = flow.make();
    EXPECT_EQ((*sdk.settings())["old"], true);
    auto snapshot = sdk.settings();
    ASSERT_TRUE(flow.run());
    EXPECT_EQ((*sdk.settings())["features"]["collect_analytics"], true);
    EXPECT_EQ((*snapshot)["old"], true);  // a reader's snapshot never changes under it
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"settings.json"});
}

TEST(TrellisSettingsFlow, EnvironmentOverridesTheInformationDictionary) {
    Flow flow;
    LoopbackServer other(testsupport::TlsFiles{TestCerts::serverCert(), TestCerts::serverKey()});
    other.enqueue(json("{}"));
    ::setenv("SettingsEndpoint", other.baseUrl().c_str(), 1);
    bool ran = flow.run();
    ::unsetenv("SettingsEndpoint");
    ASSERT_TRUE(ran);
    EXPECT_EQ(other.requestCount(), 1u);
    EXPECT_EQ(flow.server.requestCount(), 0u);
    EXPECT_EQ(TRLSettingsOnboardingManager::valueForConfigurationKey("ConfigureEndpoint"), flow.server.baseUrl());
}

TEST(TrellisSettingsFlow, UnsafeBundleIdentifiersNameNoFolder) {
    for (std::string bundle : {"", ".", "..", "a/b", "../x"}) {
        Flow flow(bundle);
        fs::create_directories(flow.home.path() + "/.cache/io.trellis.sdk.mac.data/keep");
        flow.server.setHandler([](const RecordedRequest&) { return json("{}"); });
        ASSERT_TRUE(flow.run()) << bundle;
        EXPECT_EQ(flow.notifications.load(), 0) << bundle;
        EXPECT_EQ(flow.server.requestCount(), 0u) << bundle;
        EXPECT_TRUE(fs::exists(flow.home.path() + "/.cache/io.trellis.sdk.mac.data/keep")) << bundle;
        EXPECT_EQ(flow.sdk->settings(), nullptr);
    }
}

TEST(TrellisSettings, URLAndValuesOfTheWrongType) {
    ScopedInfoPlist info(infoFor("https://h.example/", "com.x/y"));
    EXPECT_EQ(TRLSettings::settingsURLForEndpoint("https://h.example/", std::string("abc"), std::nullopt),
              "https://h.example//spi/v2/platforms/mac/apps/com.x_y/settings?build_version=100&display_version=1.0.0"
              "&instance=abc&source=1");
    EXPECT_EQ(TRLSettings::settingsURLForEndpoint("https://h", std::nullopt, std::string("h1")),
              "https://h/spi/v2/platforms/mac/apps/com.x_y/settings?build_version=100&display_version=1.0.0"
              "&icon_hash=h1&source=1");
    testsupport::TempDir dir;
    TRLSettings settings(dir.file("settings.json"));
    EXPECT_EQ(settings.settingsDictionary(), nullptr);
    base::writeFileAtomically(dir.file("settings.json"), R"({"app":{"status":"old"}})");
    EXPECT_EQ(settings.appStatus().value_or(""), "old");
    base::writeFileAtomically(dir.file("settings.json"), R"({"app":{"status":"new","update_required":"yes"}})");
    EXPECT_EQ(settings.appStatus().value_or(""), "old");  // cached until cleared
    settings.clearSettingsDictionary();
    EXPECT_TRUE(settings.appNeedsOnboarding());
    EXPECT_FALSE(settings.appUpdateRequired());
}

TEST(TrellisSettingsFlow, IconAndAdvertisingTokenTravelWithTheRequests) {
    Flow flow;
    // A PNG header of 512 x 512 and some bytes after it.
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x02\0\0\0\x02\0\x08\x06\0\0\0rest", 33);
    ASSERT_TRUE(base::writeFileAtomically(flow.info->dir() + "/AppIcon.png", png));
    int gets = 0;
    flow.server.setHandler([&](const RecordedRequest& r) {
        if (r.method == "POST") return Reply{201, {}, ""};
        return json(++gets == 1 ? R"({"app":{"status":"new"}})" : "{}");
    });
    auto& sdk = flow.make();
    sdk.setAdvertisingToken(std::string("ad-token"));
    ASSERT_TRUE(flow.run());
    auto requests = flow.server.requests();
    ASSERT_EQ(requests.size(), 3u);
    std::string hash = base::sha1Hex(png);
    EXPECT_NE(requests[0].query.find("&icon_hash=" + hash + "&source=1"), std::string::npos) << requests[0].query;
    EXPECT_EQ(requests[0].header("X-Blackbox-Advertising-Token").value_or(""), "ad-token");
    std::string parts =
        trellistest::parseMultipartWithPython(requests[1].header("Content-Type").value_or(""), requests[1].body);
    std::string icon = "app[icon][hash] None text/plain " + trellistest::hex(hash) + "\n" +
                       "app[icon][prerendered] None text/plain " + trellistest::hex("true") + "\n" +
                       "app[icon][width] None text/plain " + trellistest::hex("512") + "\n" +
                       "app[icon][height] None text/plain " + trellistest::hex("512") + "\n" +
                       "app[icon][data] icon.png image/png ";
    EXPECT_NE(parts.find(icon), std::string::npos) << parts;
    // Python's parser turns CRs into line feeds, so the bytes are checked as sent.
    EXPECT_NE(requests[1].body.find("filename=\"icon.png\"\r\nContent-Type: image/png\r\n"
                                    "Content-Transfer-Encoding: binary\r\n\r\n" + png + "\r\n--"),
              std::string::npos);
}

TEST(TrellisSettingsFlow, DeviceIdentifiersCanBeSuppressed) {
    Flow flow;
    auto info = infoFor(flow.server.baseUrl());
    info["Trellis"]["ReportIdentifiers"] = false;
    flow.info.reset();
    flow.info = std::make_unique<ScopedInfoPlist>(info);
    flow.server.setHandler([](const RecordedRequest&) { return json("{}"); });
    flow.make().setAdvertisingToken(std::string("ad-token"));
    ASSERT_TRUE(flow.run());
    EXPECT_FALSE(flow.server.requests().at(0).header("X-Blackbox-Advertising-Token"));
}

TEST(TrellisOnboarding, RequestsByKind) {
    ScopedInfoPlist info(infoFor("https://h.example", "com.x/y"));
    TRLOnboardingOperation create({}, true, "key", {}, nullptr, "https://h.example", {});
    auto post = create.onboardingRequestForAppCreate(true);
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.url, "https://h.example/spi/v1/platforms/mac/apps");
    EXPECT_EQ(post.timeoutInterval, 2);
    auto put = create.onboardingRequestForAppCreate(false);
    EXPECT_EQ(put.method, "PUT");
    EXPECT_EQ(put.url, "https://h.example/spi/v1/platforms/mac/apps/com.x_y");
    EXPECT_EQ(put.timeoutInterval, 10);
    EXPECT_EQ(put.valueForHTTPHeaderField("X-Blackbox-API-Key").value_or(""), "key");
    // Without an identity model the form still names the application.
    auto built = create.buildRequest();
    ASSERT_TRUE(built);
    EXPECT_NE(built->body.find("name=\"app[identifier]\""), std::string::npos);
    EXPECT_EQ(built->body.find("app[instance_identifier]"), std::string::npos);
}

// An information dictionary edited by hand may hold any type under any key:
// the kit reads each with a type check and never lets an exception out.
TEST(TrellisSettingsFlow, InformationOfTheWrongTypeNeverThrows) {
    const char* keys[] = {"/CFBundleIdentifier",        "/CFBundleVersion",
                          "/CFBundleShortVersionString", "/CFBundleName",
                          "/CFBundleDisplayName",        "/CFBundleIconFile",
                          "/BlackboxSignedForDistribution", "/BlackboxCollectDeviceIdentifiers",
                          "/Trellis/ReportIdentifiers",  "/Trellis/Kits",
                          "/Blackbox",                   "/Blackbox/SettingsEndpoint",
                          "/Blackbox/ConfigureEndpoint"};
    const nlohmann::json wrong[] = {42, nlohmann::json::array({"x"}), nlohmann::json::object({{"a", 1}}), true};
    for (const char* key : keys) {
        for (const auto& value : wrong) {
            SCOPED_TRACE(std::string(key) + " = " + value.dump());
            Flow flow;
            auto info = infoFor(flow.server.baseUrl());
            info[nlohmann::json::json_pointer(key)] = value;
            flow.info.reset();
            flow.info = std::make_unique<ScopedInfoPlist>(info);
            flow.server.setHandler([](const RecordedRequest&) { return json("{}"); });
            EXPECT_NO_THROW({
                TRLBundleIdentifierNamespace();
                TRLApplicationBuildVersion();
                TRLApplicationDisplayVersion();
                TRLApplicationDisplayName();
                TRLApplicationInstallationSource();
                TRLShouldCollectDeviceIdentifiers();
                TRLAppIconUtility::mainAppIconPath();
                TRLSettingsOnboardingManager::settingsDirectoryPath();
                TRLSettingsOnboardingManager::valueForConfigurationKey("SettingsEndpoint");
                TRLSettings::appBundleIdentifier();
                EXPECT_TRUE(flow.run());
            });
        }
    }
}
