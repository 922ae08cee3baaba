#include <gtest/gtest.h>

#include <regex>

#include "LoopbackServer.h"
#include "TrellisTestSupport.h"
#include "kits/trellis/Trellis.h"

using testsupport::LoopbackServer;
using testsupport::Reply;
using trellistest::ScopedInfoPlist;

namespace {

struct KitCounts {
    int blackbox = 0, tally = 0, beacon = 0, legacy = 0;
};

TRLKitDescriptor kit(const std::string& name, const std::string& bundle, int* counter) {
    TRLKitDescriptor d;
    d.className = name;
    d.bundleIdentifier = [bundle] { return bundle; };
    d.kitDisplayVersion = [] { return std::string("2.0"); };
    d.initializeIfNeeded = [counter] { ++*counter; };
    return d;
}

// Registers fake kits for a test and a loopback settings server.
struct Kits {
    KitCounts counts;
    testsupport::ScopedHome home;
    LoopbackServer server;
    testsupport::TempDir defaultsDir;
    BBXUserDefaults defaults{defaultsDir.path()};
    std::unique_ptr<ScopedInfoPlist> info;

    explicit Kits(nlohmann::json trellis = {{"APIKey", "k"}}) {
        server.setHandler([](const testsupport::RecordedRequest&) {
            return Reply{200, {{"Content-Type", "application/json"}}, "{}"};
        });
        info = std::make_unique<ScopedInfoPlist>(nlohmann::json{
            {"CFBundleIdentifier", "com.example.kits"},
            {"Trellis", trellis},
            {"Blackbox", {{"SettingsEndpoint", server.baseUrl()}, {"ConfigureEndpoint", server.baseUrl()}}}});
        TRLKitRegistry::registerKit(kit("Blackbox", "io.blackbox.mac", &counts.blackbox));
        TRLKitRegistry::registerKit(kit("Tally", "io.tally.mac", &counts.tally));
    }
    std::vector<std::unique_ptr<Trellis>> made;

    ~Kits() {
        // Let every settings flow end before the temporary home goes.
        for (auto& sdk : made) {
            auto client = sdk->settingsAndOnboardingManager()->networkClient();
            trellistest::waitUntil([&] { return client->session()->taskCount() == 0; });
        }
        made.clear();
        for (auto name : {"Blackbox", "Tally", "Beacon", "OldKit", "NotAKit"}) TRLKitRegistry::unregisterKit(name);
    }
    Trellis* make() {
        Trellis::Environment env;
        env.defaults = &defaults;
        made.push_back(std::make_unique<Trellis>(env));
        return made.back().get();
    }
};

std::string startFailure(Trellis& sdk, const std::vector<std::string>& kits) {
    try {
        sdk.startWithKits(kits);
    } catch (const TRLNamedException& e) {
        return e.name() + ": " + e.reason();
    }
    return "started";
}

}  // namespace

TEST(TrellisStart, CrashKitAloneAlsoStartsAnalyticsOnce) {
    Kits kits;
    auto sdk = kits.make();
    sdk->startWithKits({"Blackbox"});
    EXPECT_EQ(sdk->kitClasses(), (std::vector<std::string>{"Blackbox", "Tally"}));
    EXPECT_EQ(kits.counts.blackbox, 1);
    EXPECT_EQ(kits.counts.tally, 1);
    sdk->startWithKits({"Blackbox", "Tally"});  // a second start does nothing
    EXPECT_EQ(kits.counts.tally, 1);
    auto versions = sdk->kitVersionsByKitBundleIdentifier();
    EXPECT_EQ(versions, (std::map<std::string, std::string>{
                            {"io.blackbox.mac", "2.0"}, {"io.tally.mac", "2.0"}, {"io.trellis.sdk.mac", "1.6.1"}}));
    EXPECT_TRUE(kits.server.waitForRequests(1));

    auto both = kits.make();
    both->startWithKits({"Tally", "Blackbox", "Tally"});
    EXPECT_EQ(both->kitClasses(), (std::vector<std::string>{"Tally", "Blackbox"}));
    EXPECT_EQ(kits.counts.tally, 2);

    // A registered "Beacon" joins any start.
    TRLKitRegistry::registerKit(kit("Beacon", "io.beacon", &kits.counts.beacon));
    auto withBeacon = kits.make();
    withBeacon->startWithKits({"Tally"});
    EXPECT_EQ(withBeacon->kitClasses(), (std::vector<std::string>{"Tally", "Beacon"}));
    EXPECT_EQ(kits.counts.beacon, 1);
}

TEST(TrellisStart, KitsThatAreNoKitsAndLegacyKits) {
    Kits kits;
    auto sdk = kits.make();
    EXPECT_EQ(startFailure(*sdk, {"Blackbox", "NotAKit"}),
              "TRLException: [Trellis] It appears that \"NotAKit\" is not a valid Trellis Kit. Please make sure you "
              "only pass Trellis Kits to [Trellis with:].");
    EXPECT_EQ(kits.counts.blackbox, 0);  // nothing started

    TRLKitDescriptor legacy;
    legacy.className = "OldKit";
    legacy.conformsToTRLKit = false;
    legacy.sharedInstance = TRLKitDescriptor::LegacyInstance{[&] { ++kits.counts.legacy; },
                                                             [] { return std::string("io.old"); },
                                                             [] { return std::string("0.9"); }};
    TRLKitRegistry::registerKit(legacy);
    auto withLegacy = kits.make();
    EXPECT_EQ(startFailure(*withLegacy, {"OldKit"}), "started");
    EXPECT_EQ(kits.counts.legacy, 1);
    EXPECT_EQ(withLegacy->kitVersionsByKitBundleIdentifier().at("io.old"), "0.9");

    legacy.sharedInstance->version = nullptr;  // an instance that cannot answer "version"
    TRLKitRegistry::registerKit(legacy);
    auto broken = kits.make();
    EXPECT_NE(startFailure(*broken, {"OldKit"}).find("is not a valid Trellis Kit"), std::string::npos);
}

TEST(TrellisStart, MisconfiguredApplicationsRaise) {
    auto reason = [](const nlohmann::json& info) {
        try {
            Trellis::validTrellisConfigFromInfoPlist(info);
        } catch (const TRLNamedException& e) {
            EXPECT_EQ(e.name(), "TRLException");
            return e.reason();
        }
        return std::string("valid");
    };
    EXPECT_EQ(reason(nlohmann::json::object()), "[Trellis] Cannot find Info.plist.");
    EXPECT_EQ(reason({{"Trellis", "x"}}), "[Trellis] Value of Info.plist key \"Trellis\" must be a NSDictionary.");
    EXPECT_EQ(reason({{"Trellis", {{"APIKey", 5}}}}),
              "[Trellis] Value of Info.plist[Trellis][APIKey] must contain your Trellis API Key.");
    EXPECT_EQ(reason({{"Trellis", {{"APIKey", "k"}}}}), "valid");

    // A key set in code needs no dictionary; no key at all stops the start.
    Kits kits(nlohmann::json{{"APIKey", 7}});
    auto sdk = kits.make();
    EXPECT_NE(startFailure(*sdk, {"Blackbox"}).find("must contain your Trellis API Key"), std::string::npos);
    auto keyed = kits.make();
    keyed->setAPIKey(std::string("from-code"));
    EXPECT_EQ(startFailure(*keyed, {"Blackbox"}), "started");
    EXPECT_EQ(keyed->APIKey().value_or(""), "from-code");
    ASSERT_TRUE(kits.server.waitForRequests(1));
    EXPECT_EQ(kits.server.requests()[0].header("X-Blackbox-API-Key").value_or(""), "from-code");
}

TEST(TrellisStart, IdentifiersPersistAndMigrate) {
    Kits kits;
    auto first = kits.make();
    EXPECT_TRUE(first->isFirstInstall());
    EXPECT_TRUE(std::regex_match(first->installID(), std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")));
    EXPECT_TRUE(std::regex_match(first->executionIdentifier(), std::regex("[0-9a-f]{32}")));
    EXPECT_EQ(BBXUserDefaults(kits.defaultsDir.path()).stringForKey("io.blackbox.iuuid").value_or(""),
              first->installID());  // synchronised at once
    auto second = kits.make();
    EXPECT_FALSE(second->isFirstInstall());
    EXPECT_EQ(second->installID(), first->installID());
    EXPECT_NE(second->executionIdentifier(), first->executionIdentifier());
    EXPECT_EQ(second->instanceIdentifier(), first->instanceIdentifier());

    struct OldStore : BBXPlatformUserDefaults {
        std::optional<nlohmann::json> objectForKey(const std::string& k) override {
            return k == "io.blackbox.iuuid" && !moved ? std::optional<nlohmann::json>("OLD") : std::nullopt;
        }
        void removeObjectForKey(const std::string&) override { moved = true; }
        void synchronize() override {}
        bool moved = false;
    } old;
    testsupport::TempDir fresh;
    BBXUserDefaults freshDefaults(fresh.path());
    BBXUserDefaults::setPlatformUserDefaults(&old);
    Trellis::Environment env;
    env.defaults = &freshDefaults;
    Trellis migrated(env);
    BBXUserDefaults::setPlatformUserDefaults(nullptr);
    EXPECT_FALSE(migrated.isFirstInstall());
    EXPECT_EQ(migrated.installID(), "OLD");
    EXPECT_TRUE(old.moved);
}

TEST(TrellisStart, PerKitConfiguration) {
    std::string obfuscated = TRLObfuscator::obfuscatedDataFromDictionary({{"a", 1}, {"b", 2}});
    Kits kits(nlohmann::json{{"APIKey", "k"},
               {"Kits", {{{"KitName", "Tally"}, {"KitInfo", {{"b", 3}, {"c", 4}}}, {"ObfuscatedKitInfo", obfuscated}},
                         {{"KitName", "Blackbox"}}}}});
    auto sdk = kits.make();
    EXPECT_EQ(sdk->configurationDictionaryForKitClass("Tally").value_or(nullptr),
              (nlohmann::json{{"a", 1}, {"b", 3}, {"c", 4}}));
    EXPECT_EQ(sdk->configurationDictionaryForKitClass("Blackbox").value_or(nullptr), nlohmann::json::object());
    EXPECT_FALSE(sdk->configurationDictionaryForKitClass("Beacon"));
}

TEST(TrellisStart, StartupProgramRunsTheFlowAndSaysWhatItDid) {
    testsupport::ScopedHome home;  // the program inherits it
    LoopbackServer server;
    int gets = 0;
    server.setHandler([&](const testsupport::RecordedRequest& r) {
        if (r.method == "POST") return Reply{201, {}, ""};
        return Reply{200, {{"Content-Type", "application/json"}},
                     ++gets == 1 ? R"({"app":{"status":"new"}})" : R"({"app":{"status":"activated"}})"};
    });
    std::string command = std::string(TRELLIS_STARTUP_PATH) + " --settings-endpoint " + server.baseUrl() +
                          " --api-key tool-key --timeout 10 2>/dev/null";
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_TRUE(p);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = ::pclose(p);
    EXPECT_EQ(status, 0) << out;
    for (const char* line : {"kit started: Blackbox\n", "kit started: Tally\n", "kits: Blackbox, Tally\n",
                             "(first install)", "flow: finished (onboarded)\n", "notifications posted: 1\n",
                             "settings: {\"app\":{\"status\":\"activated\"}}\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(server.requestCount(), 3u);
}
