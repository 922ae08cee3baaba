#include "greenscreen/BackgroundImage.h"
#include <nlohmann/json.hpp>

#include <spdlog/spdlog.h>

#include "core/UserDefaults.h"

nlohmann::json BackgroundImage::storedEntry() const {
    return nlohmann::json::object({{imageURL.toStdString(), overlayImageURL.toStdString()}});
}

BackgroundImagePtr backgroundFromStoredEntry(const nlohmann::json& entry) {
    if (!entry.is_object() || entry.empty()) return nullptr;
    const auto it = entry.begin();
    if (it.key().empty()) return nullptr;
    if (!it.value().is_string() && !it.value().is_null()) return nullptr;
    auto background = std::make_shared<BackgroundImage>();
    background->imageURL = QString::fromStdString(it.key());
    if (it.value().is_string()) background->overlayImageURL = QString::fromStdString(it.value().get<std::string>());
    return background;
}

std::vector<BackgroundImagePtr> storedBackgroundEntries() {
    std::vector<BackgroundImagePtr> list;
    const auto stored = UserDefaults::standard().object(kGreenScreenBackgroundsKey);
    if (!stored || stored->is_null()) return list;
    if (!stored->is_array()) {
        spdlog::warn("GreenScreenManager: {} is not a list, no backgrounds used", kGreenScreenBackgroundsKey);
        return list;
    }
    for (const auto& entry : *stored) {
        if (auto background = backgroundFromStoredEntry(entry)) {
            list.push_back(std::move(background));
        } else {
            spdlog::warn("GreenScreenManager: skipping a malformed entry of {}: {}", kGreenScreenBackgroundsKey,
                         entry.dump());
        }
    }
    return list;
}

void storeBackgroundEntries(const std::vector<BackgroundImagePtr>& backgrounds) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& b : backgrounds) list.push_back(b->storedEntry());
    auto& defaults = UserDefaults::standard();
    defaults.set(kGreenScreenBackgroundsKey, list);
}
