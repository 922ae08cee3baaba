// Runs the SDK core's start-up against given endpoints and prints what it
// did, so the settings and onboarding flow can be tried by hand:
//
//   trellis_startup --settings-endpoint https://127.0.0.1:8443
//                   --configure-endpoint https://127.0.0.1:8443
//                   --api-key KEY --pin-root test-ca.pem
//
// It keeps its identifiers in the usual SDK store of the current user, so
// point HOME or XDG_DATA_HOME / XDG_CACHE_HOME elsewhere to keep them apart.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "base/AppInfo.h"
#include "base/Files.h"
#include "kits/trellis/Trellis.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: trellis_startup --settings-endpoint URL [--configure-endpoint URL] [--api-key KEY]\n"
                 "                       [--pin-root PEM | --debug] [--resources DIR] [--timeout SECONDS]\n"
                 "  --pin-root PEM  trust only the root certificate(s) in PEM instead of the SDK's own\n"
                 "  --debug         verbose SDK logging; pinning off (the system's roots decide)\n"
                 "  --resources DIR a folder holding the Info.plist to use\n");
}

TRLKitDescriptor demoKit(const char* name, const char* bundle) {
    TRLKitDescriptor kit;
    kit.className = name;
    kit.bundleIdentifier = [bundle] { return std::string(bundle); };
    kit.kitDisplayVersion = [] { return std::string("0.0.0-demo"); };
    kit.initializeIfNeeded = [name] { std::printf("kit started: %s\n", name); };
    return kit;
}

}  // namespace

int main(int argc, char** argv) {
    std::string settingsEndpoint, configureEndpoint, apiKey = "demo-api-key", pinRoot, resources;
    bool debug = false;
    double timeout = 20;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--settings-endpoint") settingsEndpoint = value();
        else if (arg == "--configure-endpoint") configureEndpoint = value();
        else if (arg == "--api-key") apiKey = value();
        else if (arg == "--pin-root") pinRoot = value();
        else if (arg == "--resources") resources = value();
        else if (arg == "--timeout") timeout = std::atof(value().c_str());
        else if (arg == "--debug") debug = true;
        else {
            usage();
            return 2;
        }
    }
    if (settingsEndpoint.empty()) {
        usage();
        return 2;
    }
    if (configureEndpoint.empty()) configureEndpoint = settingsEndpoint;
    ::setenv("SettingsEndpoint", settingsEndpoint.c_str(), 1);
    ::setenv("ConfigureEndpoint", configureEndpoint.c_str(), 1);
    if (!resources.empty()) base::AppInfo::shared().load(resources);

    Trellis::Environment env;
    if (!pinRoot.empty()) {
        auto cert = TRLCertificate::fromPEM(base::readFile(pinRoot).value_or(""));
        if (!cert) {
            std::fprintf(stderr, "no certificate in %s\n", pinRoot.c_str());
            return 2;
        }
        env.settings.pinnedCertificates = TRLCertificateList{cert};
    }
    TRLSetDebugEnabled(debug);
    std::atomic<int> notifications{0};
    base::NotificationCenter::defaultCenter().addObserver(kTRLSettingsAvailableNotification, nullptr, nullptr,
                                                          [&](const base::Notification&) {
                                                              ++notifications;
                                                              std::printf("notification: %s\n",
                                                                          kTRLSettingsAvailableNotification);
                                                          });
    TRLKitRegistry::registerKit(demoKit("Blackbox", "io.blackbox.demo"));
    TRLKitRegistry::registerKit(demoKit("Tally", "io.tally.demo"));

    Trellis sdk(env);
    std::printf("install id: %s (%s)\n", sdk.installID().c_str(), sdk.isFirstInstall() ? "first install" : "known");
    std::printf("execution id: %s\n", sdk.executionIdentifier().c_str());
    std::printf("instance id: %s\n", sdk.instanceIdentifier().value_or("(none)").c_str());
    std::printf("settings URL: %s\n", sdk.settingsAndOnboardingManager()->settingsURL().c_str());
    sdk.setAPIKey(apiKey);
    try {
        sdk.startWithKits({"Blackbox"});
    } catch (const TRLNamedException& e) {
        std::printf("start failed: %s: %s\n", e.name().c_str(), e.reason().c_str());
        return 1;
    }
    std::string kits;
    for (auto& k : sdk.kitClasses()) kits += (kits.empty() ? "" : ", ") + k;
    std::printf("kits: %s\n", kits.c_str());

    auto client = sdk.settingsAndOnboardingManager()->networkClient();
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (!(client->session()->isInvalidated() && client->session()->taskCount() == 0)) {
        if (std::chrono::steady_clock::now() > end) {
            std::printf("flow: still running after %.0f s\n", timeout);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("flow: finished (%s)\n",
                sdk.settingsAndOnboardingManager()->hasAttemptedAppConfigure() ? "onboarded" : "no onboarding");
    std::printf("notifications posted: %d\n", notifications.load());
    auto settings = sdk.settings();
    std::printf("settings file: %s\n", sdk.settingsAndOnboardingManager()->settingsPath().value_or("(none)").c_str());
    std::printf("settings: %s\n", settings ? settings->dump().c_str() : "(none)");
    return notifications.load() == 1 ? 0 : 1;
}
