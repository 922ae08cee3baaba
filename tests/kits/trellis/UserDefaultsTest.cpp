#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>

#include "TrellisTestSupport.h"
#include "kits/trellis/BBXUserDefaults.h"

namespace fs = std::filesystem;

namespace {
class FakePlatformDefaults : public BBXPlatformUserDefaults {
public:
    std::map<std::string, nlohmann::json> values;
    int syncs = 0;
    std::optional<nlohmann::json> objectForKey(const std::string& key) override {
        auto it = values.find(key);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    void removeObjectForKey(const std::string& key) override { values.erase(key); }
    void synchronize() override { ++syncs; }
};
}  // namespace

TEST(TrellisUserDefaults, ValuesRoundTripThroughTheFileOnlyWhenSynchronised) {
    testsupport::TempDir dir;
    std::string folder = dir.path() + "/com.blackbox";
    {
        BBXUserDefaults store(folder);
        store.setString(std::string("ABC"), "io.blackbox.iuuid");
        store.setObject(std::uint64_t(1700000000123), "io.blackbox.insights.lastsessiontimestamp");
        store.setBool(true, "flag");
        store.setObject(nlohmann::json::binary({0, 1, 2, 255}), "io.blackbox.insights.lastsessionmetadata");
        store.setObject(2.5, "real");
        EXPECT_TRUE(store.synchronize());
        store.setString(std::string("unsaved"), "later");  // never synchronised
    }
    BBXUserDefaults reopened(folder);
    EXPECT_EQ(reopened.stringForKey("io.blackbox.iuuid").value_or(""), "ABC");
    EXPECT_EQ(reopened.objectForKey("io.blackbox.insights.lastsessiontimestamp").value_or(0), 1700000000123);
    EXPECT_TRUE(reopened.boolForKey("flag"));
    EXPECT_EQ(reopened.objectForKey("io.blackbox.insights.lastsessionmetadata").value_or(nullptr),
              nlohmann::json::binary({0, 1, 2, 255}));
    EXPECT_EQ(reopened.objectForKey("real").value_or(0), 2.5);
    EXPECT_FALSE(reopened.objectForKey("later"));

    // Typed readers never convert.
    EXPECT_FALSE(reopened.boolForKey("io.blackbox.iuuid"));
    EXPECT_FALSE(reopened.stringForKey("real"));
    EXPECT_TRUE(reopened.boolForKey("real"));
    // A null value removes the key.
    reopened.setObject(nullptr, "io.blackbox.iuuid");
    EXPECT_FALSE(reopened.objectForKey("io.blackbox.iuuid"));
    reopened.removeAllObjects();
    EXPECT_TRUE(reopened.dictionaryRepresentation().empty());
}

TEST(TrellisUserDefaults, CorruptFileIsSetAsideNotOverwritten) {
    testsupport::TempDir dir;
    ASSERT_TRUE(base::writeFileAtomically(dir.file("BBXUserDefaults.plist"), "<plist>half a file"));
    BBXUserDefaults store(dir.path());
    EXPECT_TRUE(store.dictionaryRepresentation().empty());
    int aside = 0;
    for (auto& e : fs::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind("BBXUserDefaults.plist.corrupt-", 0) == 0) {
            ++aside;
            EXPECT_EQ(base::readFile(e.path().string()).value_or(""), "<plist>half a file");
        }
    EXPECT_EQ(aside, 1);
    store.setString(std::string("v"), "k");
    EXPECT_TRUE(store.synchronize());
    EXPECT_EQ(BBXUserDefaults(dir.path()).stringForKey("k").value_or(""), "v");
}

TEST(TrellisUserDefaults, FolderInTheFilesPlaceIsRemoved) {
    testsupport::TempDir dir;
    fs::create_directories(dir.file("BBXUserDefaults.plist") + "/inner");
    ASSERT_TRUE(base::writeFileAtomically(dir.file("BBXUserDefaults.plist") + "/inner/x", "x"));
    BBXUserDefaults store(dir.path());
    EXPECT_FALSE(fs::exists(dir.file("BBXUserDefaults.plist")));
    store.setBool(false, "b");
    EXPECT_TRUE(store.synchronize());
    EXPECT_TRUE(fs::is_regular_file(dir.file("BBXUserDefaults.plist")));
}

TEST(TrellisUserDefaults, UnwritableFolderFailsAndKeepsValuesInMemory) {
    testsupport::TempDir dir;
    ASSERT_TRUE(base::writeFileAtomically(dir.file("blocker"), "a file where the folder should be"));
    BBXUserDefaults store(dir.file("blocker") + "/sub");
    store.setString(std::string("v"), "k");
    EXPECT_FALSE(store.synchronize());
    EXPECT_EQ(store.stringForKey("k").value_or(""), "v");
}

TEST(TrellisUserDefaults, MigratesFromTheApplicationsStore) {
    testsupport::TempDir dir;
    FakePlatformDefaults platform;
    platform.values["io.blackbox.iuuid"] = "OLD-ID";
    platform.values["a"] = 1;
    BBXUserDefaults::setPlatformUserDefaults(&platform);
    {
        BBXUserDefaults store(dir.path());
        EXPECT_EQ(store.objectForKeyByMigratingFromNSUserDefaults("io.blackbox.iuuid").value_or(""), "OLD-ID");
        EXPECT_FALSE(platform.values.count("io.blackbox.iuuid"));
        EXPECT_EQ(platform.syncs, 1);
        EXPECT_FALSE(store.objectForKeyByMigratingFromNSUserDefaults("missing"));
        EXPECT_FALSE(store.objectForKeyByMigratingFromNSUserDefaults(""));
        store.migrateFromNSUserDefaults({"a", "b"});
        EXPECT_TRUE(platform.values.empty());
    }
    BBXUserDefaults::setPlatformUserDefaults(nullptr);
    BBXUserDefaults reopened(dir.path());
    EXPECT_EQ(reopened.stringForKey("io.blackbox.iuuid").value_or(""), "OLD-ID");
    EXPECT_EQ(reopened.objectForKey("a").value_or(0), 1);
}

TEST(TrellisUserDefaults, ConcurrentWritersAndSynchronise) {
    testsupport::TempDir dir;
    BBXUserDefaults store(dir.path());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                store.setObject(i, "k" + std::to_string(t));
                if (i % 50 == 0) store.synchronize();
            }
        });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(store.synchronize());
    BBXUserDefaults reopened(dir.path());
    for (int t = 0; t < 4; ++t) EXPECT_EQ(reopened.objectForKey("k" + std::to_string(t)).value_or(-1), 199);
}

TEST(TrellisUserDefaults, NulInsideAKeyOrStringIsADamagedFileSetAside) {
    using namespace std::string_literals;
    // The XML reader would keep the NUL inside the key and abort the process on it.
    for (std::string bytes : {"<string>\0</string>"s, "<dict><key>io.\0blackbox</key><true/></dict>"s}) {
        testsupport::TempDir dir;
        ASSERT_TRUE(base::writeFileAtomically(dir.file("BBXUserDefaults.plist"), bytes));
        BBXUserDefaults store(dir.path());
        EXPECT_TRUE(store.dictionaryRepresentation().empty());
        int aside = 0;
        for (auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename().string().rfind("BBXUserDefaults.plist.corrupt-", 0) == 0) ++aside;
        EXPECT_EQ(aside, 1);
    }
}
