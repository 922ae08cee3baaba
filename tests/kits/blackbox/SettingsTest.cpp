// Crash kit policy: sources, precedence and hostile server values.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "TempDir.h"
#include "base/AppInfo.h"
#include "base/Plist.h"
#include "kits/blackbox/BBXApplication.h"
#include "kits/blackbox/BBXKitSupport.h"
#include "kits/blackbox/BBXSettings.h"

namespace {

// Points the information dictionary at a folder of the test's own and puts
// the original back afterwards.
struct Settings : ::testing::Test {
    testsupport::TempDir resources;
    std::string saved = base::AppInfo::shared().resourcesDir();

    void writeInfo(const nlohmann::json& info) {
        std::ofstream(resources.file("Info.plist")) << base::plistToXml(info);
        base::AppInfo::shared().load(resources.path());
    }
    void TearDown() override {
        ::unsetenv("BlackboxPackageReports");
        ::unsetenv("BlackboxReportsEndpoint");
        base::AppInfo::shared().load(saved);
    }
};

TEST_F(Settings, WithoutDownloadedSettingsEverythingHasItsDefault) {
    writeInfo({{"CFBundleIdentifier", "com.example.booth"}});
    BBXSettings s;
    EXPECT_TRUE(s.crashReportingEnabled());
    EXPECT_TRUE(s.errorReportingEnabled());
    EXPECT_TRUE(s.customExceptionsEnabled());
    EXPECT_FALSE(s.userPromptEnabled());
    EXPECT_EQ(s.logBufferSize(), 65536u);
    EXPECT_EQ(s.errorLogBufferSize(), 65536u);
    EXPECT_EQ(s.maxCustomExceptions(), 16u);
    EXPECT_EQ(s.maxCustomKeys(), 16u);
    EXPECT_EQ(s.betaSuspendDuration(), 3600);
    EXPECT_TRUE(s.shouldPackageReports());
    EXPECT_TRUE(s.shouldSubmitReports());
    EXPECT_TRUE(s.canProcessUrgentReports());
    EXPECT_EQ(s.reportsEndpoint().rfind("https://", 0), 0u);
    EXPECT_EQ(s.interactivePromptTitle(), "Send Crash Report?");
    EXPECT_EQ(s.interactivePromptCancelTitle(), "Don't Send");
    EXPECT_EQ(s.interactivePromptAlwaysSendTitle(), "Always Send");
}

TEST_F(Settings, EnvironmentBeatsInformationDictionaryWhichBeatsDefaults) {
    writeInfo({{"CFBundleIdentifier", "com.example.booth"},
               {"Blackbox",
                {{"PackageReports", true},
                 {"SubmitReports", "NO"},
                 {"UrgentReports", "0"},
                 {"ReportsEndpoint", "https://127.0.0.1:1/from-info"},
                 {"BetaEndpoint", 42}}}});
    BBXSettings s;
    EXPECT_FALSE(s.shouldSubmitReports());
    EXPECT_FALSE(s.canProcessUrgentReports());
    EXPECT_TRUE(s.shouldPackageReports());
    EXPECT_EQ(s.reportsEndpoint(), "https://127.0.0.1:1/from-info");
    // A number is no address: the built-in endpoint stands.
    EXPECT_EQ(s.betaEndpoint(), BBXSettings::defaultConfiguration()["BetaEndpoint"].get<std::string>());

    ::setenv("BlackboxPackageReports", "NO", 1);
    ::setenv("BlackboxReportsEndpoint", "http://127.0.0.1:9/env", 1);
    EXPECT_FALSE(s.shouldPackageReports());
    EXPECT_EQ(s.reportsEndpoint(), "http://127.0.0.1:9/env");
    ::setenv("BlackboxPackageReports", " false ", 1);
    EXPECT_FALSE(s.shouldPackageReports());
    ::setenv("BlackboxPackageReports", "", 1);
    EXPECT_FALSE(s.shouldPackageReports());
    ::setenv("BlackboxPackageReports", "yes", 1);
    EXPECT_TRUE(s.shouldPackageReports());
}

TEST_F(Settings, TextReadsAsBooleanByOneRule) {
    for (const char* no : {"NO", "no", "0", "false", "FALSE", ""}) EXPECT_EQ(BBXBooleanReading(no), false) << no;
    for (const char* yes : {"YES", "1", "true", "on"}) EXPECT_EQ(BBXBooleanReading(yes), true) << yes;
    EXPECT_EQ(BBXBooleanReading(0), false);
    EXPECT_EQ(BBXBooleanReading(2.5), true);
    EXPECT_FALSE(BBXBooleanReading(nlohmann::json::array()).has_value());
    EXPECT_FALSE(BBXBooleanReading(nullptr).has_value());
}

TEST_F(Settings, HostileServerValuesAreClampedOrIgnored) {
    writeInfo({{"CFBundleIdentifier", "com.example.booth"}});
    BBXSettings huge(nlohmann::json{
        {"features", {{"collect_reports", "NO"}, {"collect_logged_exceptions", {1, 2}}, {"prompt_enabled", "yes"}}},
        {"session",
         {{"log_buffer_size", 1e15}, {"max_custom_exception_events", -3}, {"max_custom_key_value_pairs", "lots"}}},
        {"beta", {{"update_suspend_duration", -1}}}});
    EXPECT_FALSE(huge.crashReportingEnabled());
    EXPECT_TRUE(huge.errorReportingEnabled());  // an array has no boolean reading: default
    EXPECT_TRUE(huge.userPromptEnabled());
    EXPECT_EQ(huge.logBufferSize(), BBXSettings::kMaxLogBufferSize);
    EXPECT_EQ(huge.maxCustomExceptions(), BBXSettings::kMinEntries);
    EXPECT_EQ(huge.maxCustomKeys(), 16u);
    EXPECT_EQ(huge.betaSuspendDuration(), BBXSettings::kMinBetaSuspend);

    BBXSettings small(nlohmann::json{{"session", {{"log_buffer_size", 0}, {"max_custom_key_value_pairs", 1e9}}},
                                     {"beta", {{"update_suspend_duration", 1e30}}}});
    EXPECT_EQ(small.logBufferSize(), BBXSettings::kMinLogBufferSize);
    EXPECT_EQ(small.maxCustomKeys(), BBXSettings::kMaxCustomKeys);
    EXPECT_EQ(small.betaSuspendDuration(), BBXSettings::kMaxBetaSuspend);

    // Sections of the wrong shape read as missing.
    BBXSettings shapeless(nlohmann::json{{"features", "everything"}, {"session", nullptr}, {"prompt", 3}});
    EXPECT_TRUE(shapeless.crashReportingEnabled());
    EXPECT_EQ(shapeless.logBufferSize(), 65536u);
    EXPECT_EQ(shapeless.interactivePromptSendTitle(), "Send");
    EXPECT_TRUE(BBXSettings(nlohmann::json::array()).crashReportingEnabled());
}

TEST_F(Settings, PromptTextsComeFromServerThenTheStringTable) {
    writeInfo({{"CFBundleIdentifier", "com.example.booth"}});
    BBXSettings s(nlohmann::json{{"prompt", {{"title", "Server title"}, {"message", "Server message"}, {"send_button_title", 7}}}});
    EXPECT_EQ(s.interactivePromptTitle(), "Server title");
    EXPECT_EQ(s.interactivePromptSendTitle(), "Send");

    std::ofstream(resources.file("Blackbox.strings"))
        << base::plistToXml({{"BlackboxCrashSubmissionPromptTitle", "Localised title"}});
    EXPECT_EQ(s.interactivePromptTitle(), "Localised title");
    EXPECT_EQ(s.interactivePromptMessage(), "Server message");
}

}  // namespace

// Every information-dictionary key the crash kit reads, and every settings
// key it reads from the SDK core's download, holding a value of the wrong
// type: each reader falls back to its default and none throws.
TEST_F(Settings, ValuesOfTheWrongTypeFallBackAndNeverThrow) {
    const nlohmann::json wrong[] = {42, 1.5, nlohmann::json::array({"x"}), nlohmann::json::object({{"a", 1}}), true,
                                    "text"};
    const char* infoKeys[] = {"/Blackbox", "/Blackbox/ReportsEndpoint", "/Blackbox/BetaEndpoint",
                              "/Blackbox/PackageReports", "/Blackbox/SubmitReports", "/Blackbox/UrgentReports",
                              "/NSExtension", "/NSExtension/NSExtensionPointIdentifier", "/CFBundleIdentifier"};
    const char* settingsKeys[] = {"", "/features", "/features/collect_reports", "/features/prompt_enabled",
                                  "/app", "/prompt", "/prompt/title", "/prompt/message", "/prompt/cancel_button_title",
                                  "/prompt/send_button_title", "/prompt/always_send_button_title", "/beta",
                                  "/beta/update_suspend_duration", "/cache", "/analytics"};
    auto readEverything = [](const BBXSettings& s) {
        EXPECT_FALSE(s.reportsEndpoint().empty());
        EXPECT_FALSE(s.betaEndpoint().empty());
        s.shouldPackageReports();
        s.shouldSubmitReports();
        s.canProcessUrgentReports();
        s.crashReportingEnabled();
        s.errorReportingEnabled();
        s.userPromptEnabled();
        EXPECT_GE(s.logBufferSize(), BBXSettings::kMinLogBufferSize);
        EXPECT_LE(s.logBufferSize(), BBXSettings::kMaxLogBufferSize);
        EXPECT_LE(s.maxCustomExceptions(), BBXSettings::kMaxCustomExceptions);
        EXPECT_LE(s.maxCustomKeys(), BBXSettings::kMaxCustomKeys);
        s.betaSuspendDuration();
        s.interactivePromptTitle();
        s.interactivePromptMessage();
        s.interactivePromptCancelTitle();
        s.interactivePromptSendTitle();
        s.interactivePromptAlwaysSendTitle();
        BBXApplicationExtensionPointIdentifier();
    };
    for (const auto& value : wrong) {
        for (const char* key : infoKeys) {
            SCOPED_TRACE(std::string(key) + " = " + value.dump());
            nlohmann::json info = {{"CFBundleIdentifier", "com.example.booth"},
                                   {"Blackbox", nlohmann::json::object()},
                                   {"NSExtension", nlohmann::json::object()}};
            info[nlohmann::json::json_pointer(key)] = value;
            writeInfo(info);
            EXPECT_NO_THROW(readEverything(BBXSettings()));
        }
        writeInfo({{"CFBundleIdentifier", "com.example.booth"}});
        for (const char* key : settingsKeys) {
            SCOPED_TRACE(std::string("settings ") + key + " = " + value.dump());
            nlohmann::json settings = {{"features", nlohmann::json::object()},
                                       {"prompt", nlohmann::json::object()},
                                       {"beta", nlohmann::json::object()}};
            settings[nlohmann::json::json_pointer(key)] = value;
            EXPECT_NO_THROW(readEverything(BBXSettings(settings)));
        }
    }
}
