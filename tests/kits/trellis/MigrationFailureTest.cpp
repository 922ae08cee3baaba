// Moving values out of the application's own store: the old copy is only
// forgotten once the new file holds it, so a failed write loses nothing.
#include <gtest/gtest.h>

#include <map>

#include "TrellisTestSupport.h"
#include "kits/trellis/BBXUserDefaults.h"

namespace {

class OldStore : public BBXPlatformUserDefaults {
public:
    std::map<std::string, nlohmann::json> values;
    std::optional<nlohmann::json> objectForKey(const std::string& key) override {
        auto it = values.find(key);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    void removeObjectForKey(const std::string& key) override { values.erase(key); }
    void synchronize() override {}
};

TEST(TrellisMigrationFailure, AFailedWriteKeepsTheOldValues) {
    testsupport::TempDir dir;
    ASSERT_TRUE(base::writeFileAtomically(dir.file("blocker"), "a file where the folder should be"));
    OldStore old;
    old.values["io.blackbox.iuuid"] = "OLD-ID";
    old.values["a"] = 1;
    BBXUserDefaults::setPlatformUserDefaults(&old);
    BBXUserDefaults store(dir.file("blocker") + "/sub");
    EXPECT_EQ(store.objectForKeyByMigratingFromNSUserDefaults("io.blackbox.iuuid").value_or(""), "OLD-ID");
    store.migrateFromNSUserDefaults({"a"});
    BBXUserDefaults::setPlatformUserDefaults(nullptr);
    EXPECT_EQ(old.values.count("io.blackbox.iuuid"), 1u) << "the identifier would be lost at the next start";
    EXPECT_EQ(old.values.count("a"), 1u);
}

}  // namespace
