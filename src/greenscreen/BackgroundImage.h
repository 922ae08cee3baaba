#pragma once
// One green-screen background with its optional overlay, and the stored
// forms of the background list and of the guest's choice.
#include <QImage>
#include <QString>

#include <memory>
#include <vector>

#include <nlohmann/json_fwd.hpp>

inline constexpr const char* kGreenScreenOnKey = "GREEN_SCREEN_ON";
inline constexpr const char* kGreenScreenRemovalWayKey = "GREEN_SCREEN_REMOVAL_WAY";
inline constexpr const char* kGreenScreenBackgroundSelectionTypeKey = "GREEN_SCREEN_BACKGROUND_SELECTION_TYPE";
inline constexpr const char* kGreenScreenBackgroundsKey = "GREEN_SCREEN_BACKGROUNDS";
inline constexpr const char* kGreenScreenBackgroundsToUseKey = "GREEN_SCREEN_BACKGROUNDS_TO_USE";
inline constexpr const char* kMirrorLiveViewKey = "MirrorLiveView";

struct BackgroundImage {
    QImage image;
    QImage overlayImage;
    QString imageURL;         // file path of the background
    QString overlayImageURL;  // file path of the overlay, empty when there is none

    // {background path: overlay path or ""}
    nlohmann::json storedEntry() const;
};

using BackgroundImagePtr = std::shared_ptr<BackgroundImage>;

// The entries of GREEN_SCREEN_BACKGROUNDS in order, as backgrounds without
// images loaded. Malformed entries are skipped with a log line.
std::vector<BackgroundImagePtr> storedBackgroundEntries();
// Parses one {background path: overlay path or ""} entry; null when malformed.
BackgroundImagePtr backgroundFromStoredEntry(const nlohmann::json& entry);
// Writes the list to GREEN_SCREEN_BACKGROUNDS, in order.
void storeBackgroundEntries(const std::vector<BackgroundImagePtr>& backgrounds);
