#pragma once
// The booth's settings store as the kits see it: values that older versions
// of the crash and analytics kits kept among the booth's settings move from
// there into the kits' own store.
#include <optional>
#include <string>

#include "kits/trellis/BBXUserDefaults.h"

class BoothPlatformUserDefaults : public BBXPlatformUserDefaults {
public:
    static BoothPlatformUserDefaults& shared();
    // Only what is stored: a registered default is nothing to move.
    std::optional<nlohmann::json> objectForKey(const std::string& key) override;
    void removeObjectForKey(const std::string& key) override;
    void synchronize() override;
};
