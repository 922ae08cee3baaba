#pragma once
// The application's information dictionary (resources/Info.plist) and its
// resource folder, found next to the executable.
#include <string>

#include "base/BoxedJson.h"

namespace base {

class AppInfo {
public:
    static AppInfo& shared();
    // The folder holding Info.plist: $FLASHWREN_RESOURCES, else "resources"
    // beside the executable or one of its parents.
    const std::string& resourcesDir() const { return resourcesDir_; }
    const nlohmann::json& infoDictionary() const { return info_; }
    std::string string(const std::string& key) const;  // "" when missing
    std::string bundleIdentifier() const { return string("CFBundleIdentifier"); }
    std::string shortVersion() const { return string("CFBundleShortVersionString"); }
    std::string buildVersion() const { return string("CFBundleVersion"); }
    std::string name() const { return string("CFBundleName"); }
    std::string executablePath() const;
    // Tests point it elsewhere. An Info.plist that cannot be read leaves the
    // dictionary empty, logged once, with the reason kept in loadError().
    void load(const std::string& resourcesDir);
    // Why the information dictionary could not be read; "" when it was.
    std::string loadError() const;

private:
    AppInfo();
    std::string resourcesDir_;
    BoxedJson info_;
    std::string loadError_;
};

}  // namespace base
