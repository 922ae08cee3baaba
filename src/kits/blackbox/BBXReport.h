#pragma once
// The report of an earlier execution as the application's delegate sees it;
// key/values set on it go into that report's own key/value files.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class BBXInternalReport;

// The public face of a stored report.
class BBXCrashReport {
public:
    virtual ~BBXCrashReport() = default;
    virtual std::string identifier() const = 0;
    virtual std::optional<nlohmann::json> customKeys() const = 0;
    virtual std::optional<std::string> bundleVersion() const = 0;
    virtual std::optional<std::string> bundleShortVersionString() const = 0;
    virtual std::optional<std::chrono::system_clock::time_point> crashedOnDate() const = 0;
    virtual std::optional<std::string> OSVersion() const = 0;
    virtual std::optional<std::string> OSBuildVersion() const = 0;
    virtual bool isCrash() const = 0;
    virtual void setObjectValue(const std::optional<std::string>& value, const std::string& key) = 0;
    virtual std::optional<std::string> userIdentifier() const = 0;
    virtual void setUserIdentifier(const std::optional<std::string>& value) = 0;
    virtual std::optional<std::string> userName() const = 0;
    virtual void setUserName(const std::optional<std::string>& value) = 0;
    virtual std::optional<std::string> userEmail() const = 0;
    virtual void setUserEmail(const std::optional<std::string>& value) = 0;
};

class BBXReport : public BBXCrashReport {
public:
    explicit BBXReport(std::shared_ptr<BBXInternalReport> internalReport);

    std::string identifier() const override;
    std::optional<nlohmann::json> customKeys() const override { return std::nullopt; }
    std::optional<std::string> bundleVersion() const override;
    std::optional<std::string> bundleShortVersionString() const override;
    std::optional<std::chrono::system_clock::time_point> dateCreated() const;
    std::optional<std::chrono::system_clock::time_point> crashedOnDate() const override { return dateCreated(); }
    std::optional<std::string> OSVersion() const override;
    std::optional<std::string> OSBuildVersion() const override;
    bool isCrash() const override;

    void setObjectValue(const std::optional<std::string>& value, const std::string& key) override;
    std::optional<std::string> userIdentifier() const override { return std::nullopt; }
    void setUserIdentifier(const std::optional<std::string>& value) override;
    std::optional<std::string> userName() const override { return std::nullopt; }
    void setUserName(const std::optional<std::string>& value) override;
    std::optional<std::string> userEmail() const override { return std::nullopt; }
    void setUserEmail(const std::optional<std::string>& value) override;

    void recordValue(const std::optional<std::string>& value, const std::string& userKey);
    void recordInternalValue(const std::optional<std::string>& value, const std::string& internalKey);

    const std::shared_ptr<BBXInternalReport>& internalReport() const { return report_; }

private:
    std::shared_ptr<BBXInternalReport> report_;
    std::uint32_t internalKVCounter_ = 0;
    std::uint32_t userKVCounter_ = 0;
};
