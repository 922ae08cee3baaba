#include "greenscreen/GreenScreenFilterSettings.h"
#include <nlohmann/json.hpp>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>

#include "core/UserDefaults.h"

namespace {

// The colour is stored as an array of its red, green, blue and alpha
// components (reals in 0..1), which restores them exactly.
nlohmann::json archiveColor(const QColor& color) {
    if (!color.isValid()) return nlohmann::json();
    const QColor c = color.toRgb();
    return nlohmann::json::array({c.redF(), c.greenF(), c.blueF(), c.alphaF()});
}

std::optional<QColor> unarchiveColor(const nlohmann::json& value) {
    if (!value.is_array() || (value.size() != 3 && value.size() != 4)) return std::nullopt;
    double v[4] = {0, 0, 0, 1};
    for (size_t i = 0; i < value.size(); ++i) {
        if (!value[i].is_number()) return std::nullopt;
        v[i] = value[i].get<double>();
        if (!(v[i] >= 0.0 && v[i] <= 1.0)) return std::nullopt;
    }
    return QColor::fromRgbF(static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2]),
                            static_cast<float>(v[3]));
}

// A stored key parameter as the engine can use it: the settings file can be
// edited by hand, so it may hold anything a real can. Numbers outside 0..1
// are clamped; a NaN, or a number too small to be a float (a denormal, whose
// inverse overflows), gives the default.
float checkedParameter(double stored, float fallback, const QString& key) {
    const float value = static_cast<float>(stored);
    if (std::isnan(value) || (value != 0.0f && std::fpclassify(value) == FP_SUBNORMAL) ||
        (stored != 0.0 && value == 0.0f)) {
        spdlog::warn("GreenScreenFilterSettings: {} holds {}, using {}", key.toStdString(), stored, fallback);
        return fallback;
    }
    if (value < 0.0f || value > 1.0f) {
        const float clamped = std::clamp(value, 0.0f, 1.0f);
        spdlog::warn("GreenScreenFilterSettings: {} holds {}, using {}", key.toStdString(), stored, clamped);
        return clamped;
    }
    return value;
}

// A missing number reads as 0, as the stored set was left; one that is
// there but no usable number (the store gives none for NaN or infinity)
// reads as NaN, which the check replaces by the default.
float storedParameter(const QString& key, float fallback) {
    const auto& defaults = UserDefaults::standard();
    const std::string name = key.toStdString();
    const double stored = defaults.has(name) ? defaults.real(name, std::nan("")) : 0.0;
    return checkedParameter(stored, fallback, key);
}

}  // namespace

GreenScreenFilterSettings GreenScreenFilterSettings::initWithSettingsWithSmoothness(float sensitivity, float smoothness,
                                                                                    const QColor& spotColor) {
    GreenScreenFilterSettings s;
    s.sensitivity_ = sensitivity;
    s.smoothness_ = smoothness;
    s.spotColor_ = spotColor;
    return s;
}

GreenScreenFilterSettings GreenScreenFilterSettings::initWithDefaultSettings() {
    return initWithSettingsWithSmoothness(kDefaultSensitivity, kDefaultSmoothness, QColor::fromRgbF(0, 1, 0, 1));
}

QString GreenScreenFilterSettings::liveViewKey(const QString& key) { return key + "_" + "LV"; }

GreenScreenFilterSettings GreenScreenFilterSettings::initFromNSDefaults() {
    return load(kGreenScreenReplacementColorKey, kGreenScreenSensitivityKey, kGreenScreenSmoothnessKey);
}

GreenScreenFilterSettings GreenScreenFilterSettings::initFromNSDefaultsForLiveView() {
    return load(liveViewKey(kGreenScreenReplacementColorKey), liveViewKey(kGreenScreenSensitivityKey),
                liveViewKey(kGreenScreenSmoothnessKey));
}

GreenScreenFilterSettings GreenScreenFilterSettings::load(const QString& colorKey, const QString& sensitivityKey,
                                                          const QString& smoothnessKey) {
    auto& defaults = UserDefaults::standard();
    const auto stored = defaults.object(colorKey.toStdString());
    if (!stored || stored->is_null()) return initWithDefaultSettings();
    const auto color = unarchiveColor(*stored);
    if (!color) {
        spdlog::warn("GreenScreenFilterSettings: the key colour stored under {} cannot be read, using the defaults",
                     colorKey.toStdString());
        return initWithDefaultSettings();
    }
    return initWithSettingsWithSmoothness(storedParameter(sensitivityKey, kDefaultSensitivity),
                                          storedParameter(smoothnessKey, kDefaultSmoothness), *color);
}

void GreenScreenFilterSettings::save(const QString& colorKey, const QString& sensitivityKey,
                                     const QString& smoothnessKey) const {
    auto& defaults = UserDefaults::standard();
    defaults.set(sensitivityKey.toStdString(), static_cast<double>(sensitivity_));
    defaults.set(smoothnessKey.toStdString(), static_cast<double>(smoothness_));
    defaults.set(colorKey.toStdString(), archiveColor(spotColor_));
}

void GreenScreenFilterSettings::saveInDefaults() const {
    save(kGreenScreenReplacementColorKey, kGreenScreenSensitivityKey, kGreenScreenSmoothnessKey);
}

void GreenScreenFilterSettings::saveInDefaultsForLiveView() const {
    save(liveViewKey(kGreenScreenReplacementColorKey), liveViewKey(kGreenScreenSensitivityKey),
         liveViewKey(kGreenScreenSmoothnessKey));
}

QString GreenScreenFilterSettings::description() const {
    QString color = "(null)";
    if (spotColor_.isValid()) {
        const QColor c = spotColor_.toRgb();
        color = QString::asprintf("RGBA %f %f %f %f", c.redF(), c.greenF(), c.blueF(), c.alphaF());
    }
    return QString::asprintf("Sensitivity=%f Smoothness=%f KeyColor=", sensitivity_, smoothness_) + color;
}
