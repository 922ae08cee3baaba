#pragma once
// The identity of the running build: one identifier per architecture slice
// of the executable, the build-instance identifier made from them, and the
// application icon sent when the application is registered.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "kits/trellis/TRLMachO.h"

// The application icon as PNG bytes with their SHA-1.
class TRLIcon {
public:
    TRLIcon(std::string data, double width, double height, bool prerendered = true);
    // Reads width and height from the PNG header; null when `data` is no PNG.
    static std::shared_ptr<TRLIcon> fromPNGData(std::string data);

    const std::string& data() const { return data_; }
    const std::string& dataHash() const { return dataHash_; }
    double width() const { return width_; }
    double height() const { return height_; }
    bool prerendered() const { return prerendered_; }
    double surfaceArea() const { return width_ * height_; }
    bool isWithinMaxSurfaceArea() const { return surfaceArea() <= 1048576.0; }
    bool largerThanSize(double width, double height) const { return surfaceArea() > width * height; }

private:
    std::string data_;
    std::string dataHash_;
    double width_;
    double height_;
    bool prerendered_;
};

// Finds the application's icon among its resources: the information
// dictionary's "CFBundleIconFile" (".png" added when it has no extension),
// else "AppIcon.png".
class TRLAppIconUtility {
public:
    std::shared_ptr<TRLIcon> applicationIcon();  // made once
    static std::shared_ptr<TRLIcon> fetchApplicationIcon();
    static std::optional<std::string> mainAppIconPath();

private:
    bool fetched_ = false;
    std::shared_ptr<TRLIcon> icon_;
};

class TRLApplicationIdentiferModel {
public:
    // Null when the executable cannot be read. `executablePath` empty means
    // the running program.
    static std::shared_ptr<TRLApplicationIdentiferModel> create(const std::string& installID,
                                                                const std::string& executablePath = {});

    bool computeExecutableInfo(const std::string& executablePath = {});
    bool computeInstanceIdentifier();

    const std::map<std::string, std::string>& architectureUUIDMap() const { return architectureUUIDMap_; }
    const std::string& installID() const { return installID_; }
    std::shared_ptr<TRLIcon> icon() const { return icon_; }
    void setIcon(std::shared_ptr<TRLIcon> icon) { icon_ = std::move(icon); }
    const std::string& bundleIdentifier() const { return bundleIdentifier_; }
    const std::string& instanceIdentifier() const { return instanceIdentifier_; }
    TRLMachOVersion builtSDK() const { return builtSDK_; }
    TRLMachOVersion minimumSDK() const { return minimumSDK_; }
    std::string builtSDKString() const;
    std::string minimumSDKString() const;

private:
    TRLApplicationIdentiferModel() = default;
    std::map<std::string, std::string> architectureUUIDMap_;
    std::string installID_;
    std::shared_ptr<TRLIcon> icon_;
    std::string bundleIdentifier_;
    std::string instanceIdentifier_;
    TRLMachOVersion builtSDK_;
    TRLMachOVersion minimumSDK_;
};
