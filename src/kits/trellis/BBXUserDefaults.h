#pragma once
// The SDK's own key-value store: one XML property list per user account in
// "Application Support/com.blackbox/BBXUserDefaults.plist", kept in memory
// and written to disk atomically when `synchronize` is called. Safe from any
// thread.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The application's own settings store, which older SDK versions used. The
// application implements it so that values kept there move into this store.
class BBXPlatformUserDefaults {
public:
    virtual ~BBXPlatformUserDefaults() = default;
    virtual std::optional<nlohmann::json> objectForKey(const std::string& key) = 0;
    virtual void removeObjectForKey(const std::string& key) = 0;
    virtual void synchronize() = 0;
};

class BBXUserDefaults {
public:
    // The shared store in the user's application-support folder.
    static BBXUserDefaults& standardUserDefaults();
    // A store over "<directory>/BBXUserDefaults.plist".
    explicit BBXUserDefaults(std::string directory);
    BBXUserDefaults(const BBXUserDefaults&) = delete;
    BBXUserDefaults& operator=(const BBXUserDefaults&) = delete;

    // Where values kept by the application's store are found; not owned, may be null.
    static void setPlatformUserDefaults(BBXPlatformUserDefaults* platform);
    static BBXPlatformUserDefaults* platformUserDefaults();

    std::optional<nlohmann::json> objectForKey(const std::string& key);
    std::optional<std::string> stringForKey(const std::string& key);
    bool boolForKey(const std::string& key);
    // A null JSON value removes the key.
    void setObject(const nlohmann::json& value, const std::string& key);
    void setString(const std::optional<std::string>& value, const std::string& key);
    void setBool(bool value, const std::string& key);
    void removeObjectForKey(const std::string& key);
    void removeAllObjects();
    nlohmann::json dictionaryRepresentation();

    // Writes the live values to the file; false when that failed (the old file stays).
    bool synchronize();
    std::optional<nlohmann::json> objectForKeyByMigratingFromNSUserDefaults(const std::string& key);
    void migrateFromNSUserDefaults(const std::vector<std::string>& keys);

    const std::string& directoryPath() const { return directory_; }
    const std::string& filePath() const { return file_; }

private:
    std::optional<nlohmann::json> loadDefaults();

    std::string directory_;
    std::string file_;
    std::mutex access_;  // guards the live dictionary
    std::mutex io_;      // serialises file work; never taken before `access_` is released
    nlohmann::json data_ = nlohmann::json::object();
};
