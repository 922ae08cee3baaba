#include "kits/trellis/TRLApplicationIdentiferModel.h"
#include <nlohmann/json.hpp>

#include <filesystem>

#include "base/AppInfo.h"
#include "base/Files.h"
#include "kits/trellis/TRLUtilities.h"

TRLIcon::TRLIcon(std::string data, double width, double height, bool prerendered)
    : data_(std::move(data)),
      dataHash_(TRLSHA1HexStringFromBytes(data_.data(), data_.size())),
      width_(width),
      height_(height),
      prerendered_(prerendered) {}

std::shared_ptr<TRLIcon> TRLIcon::fromPNGData(std::string data) {
    // Signature (8), IHDR length (4), "IHDR" (4), width (4), height (4).
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (data.size() < 24 || data.compare(0, 8, reinterpret_cast<const char*>(kSignature), 8) != 0 ||
        data.compare(12, 4, "IHDR") != 0)
        return nullptr;
    auto be32 = [&](std::size_t at) {
        auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + i])); };
        return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
    };
    std::uint32_t width = be32(16), height = be32(20);
    if (width == 0 || height == 0) return nullptr;
    return std::make_shared<TRLIcon>(std::move(data), width, height, true);
}

std::shared_ptr<TRLIcon> TRLAppIconUtility::applicationIcon() {
    if (!fetched_) {
        icon_ = fetchApplicationIcon();
        fetched_ = true;
    }
    return icon_;
}

std::optional<std::string> TRLAppIconUtility::mainAppIconPath() {
    const std::string& resources = base::AppInfo::shared().resourcesDir();
    if (resources.empty()) return std::nullopt;
    std::string name = "AppIcon.png";
    auto info = TRLMainInfoDictionary();
    if (auto it = info.find("CFBundleIconFile"); it != info.end() && it->is_string()) {
        std::string given = it->get<std::string>();
        // Only a file name inside the resources, never a path out of them.
        if (!given.empty() && given.find('/') == std::string::npos && given != "." && given != "..") {
            name = given;
            if (std::filesystem::path(name).extension().empty()) name += ".png";
        }
    }
    std::string path = resources + "/" + name;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    return path;
}

std::shared_ptr<TRLIcon> TRLAppIconUtility::fetchApplicationIcon() {
    auto path = mainAppIconPath();
    if (!path) return nullptr;
    auto data = base::readFile(*path);
    if (!data) return nullptr;
    return TRLIcon::fromPNGData(std::move(*data));
}

std::shared_ptr<TRLApplicationIdentiferModel> TRLApplicationIdentiferModel::create(const std::string& installID,
                                                                                   const std::string& executablePath) {
    std::shared_ptr<TRLApplicationIdentiferModel> model(new TRLApplicationIdentiferModel());
    if (!model->computeExecutableInfo(executablePath)) return nullptr;
    model->computeInstanceIdentifier();
    TRLAppIconUtility icons;
    model->icon_ = icons.applicationIcon();
    model->installID_ = installID;
    model->bundleIdentifier_ = TRLBundleIdentifierNamespace();
    return model;
}

bool TRLApplicationIdentiferModel::computeExecutableInfo(const std::string& executablePath) {
    TRLMachOMappedFile file;
    bool mapped = executablePath.empty() ? TRLMachOMapMainExecutable(&file)
                                         : TRLMachOMapFile(executablePath.c_str(), &file);
    if (!mapped) return false;
    std::map<std::string, std::string> map;
    if (auto elf = TRLElfReadIdentity(file.address, file.length)) {
        // A Linux executable has one architecture; its build-id is the slice identifier.
        if (!elf->buildID.empty()) map[elf->architecture] = elf->buildID;
        if (elf->minimumKernel) minimumSDK_ = *elf->minimumKernel;
    } else {
        TRLMachOEnumerateSlices(&file, [&](const TRLMachOSlice& s) {
            TRLMachOSlice slice = s;
            std::string arch = TRLMachOArchitectureName(slice.cpuType, slice.cpuSubtype);
            TRLMachOEnumerateLoadCommands(&slice, [&](std::uint32_t cmd, std::uint32_t size, const std::uint8_t* c) {
                if (cmd == kTRLLoadCommandUUID) {
                    if (const std::uint8_t* uuid = TRLMachOUUIDFromLoadCommand(c, size))
                        map[arch] = TRLUUIDBytesToHexString(uuid);
                } else if (cmd == kTRLLoadCommandVersionMinMacOSX || cmd == kTRLLoadCommandVersionMinIPhoneOS) {
                    if (size >= 16) {
                        minimumSDK_ = TRLMachOMinimumVersionFromLoadCommand(c, size);
                        builtSDK_ = TRLMachOSDKVersionFromLoadCommand(c, size);
                    }
                }
            });
        });
    }
    TRLMachOUnmapFile(&file);
    architectureUUIDMap_ = std::move(map);
    return true;
}

bool TRLApplicationIdentiferModel::computeInstanceIdentifier() {
    // std::map iterates its names in byte order, the ordinary comparison.
    std::string joined;
    for (const auto& [arch, uuid] : architectureUUIDMap_) joined += uuid;
    instanceIdentifier_ = TRLSHA1HexStringFromData(joined);
    return true;
}

std::string TRLApplicationIdentiferModel::builtSDKString() const {
    return *TRLMachOVersionString(builtSDK_);
}

std::string TRLApplicationIdentiferModel::minimumSDKString() const {
    return *TRLMachOVersionString(minimumSDK_);
}
