#pragma once
// One set of chroma-key parameters: the key colour, the threshold
// sensitivity and the smoothing of the key's edge. Two sets live in the
// user defaults: one for captured photos, one for the live view (its keys
// end in "_LV").
#include <QColor>
#include <QString>

inline constexpr const char* kGreenScreenReplacementColorKey = "GREEN_SCREEN_REPLACEMENT_COLOR";
inline constexpr const char* kGreenScreenSensitivityKey = "GREEN_SCREEN_SENSITIVITY";
inline constexpr const char* kGreenScreenSmoothnessKey = "GREEN_SCREEN_SMOOTHNESS";

class GreenScreenFilterSettings {
public:
    static constexpr float kDefaultSensitivity = 0.1f;
    static constexpr float kDefaultSmoothness = 0.11f;

    GreenScreenFilterSettings() = default;
    static GreenScreenFilterSettings initWithSettingsWithSmoothness(float sensitivity, float smoothness,
                                                                    const QColor& spotColor);
    // Sensitivity 0.1, smoothness 0.11, pure green.
    static GreenScreenFilterSettings initWithDefaultSettings();
    // The photo-mode set; the defaults when no colour is stored (whatever
    // numbers are) or when the stored colour cannot be read (logged).
    static GreenScreenFilterSettings initFromNSDefaults();
    static GreenScreenFilterSettings initFromNSDefaultsForLiveView();

    // Writes sensitivity, smoothness, then the colour, and synchronises.
    void saveInDefaults() const;
    void saveInDefaultsForLiveView() const;

    // "Sensitivity=%f Smoothness=%f KeyColor=%@"
    QString description() const;

    float sensitivity() const { return sensitivity_; }
    float smoothness() const { return smoothness_; }
    // Invalid when there is no key colour; only red, green and blue count.
    const QColor& spotColor() const { return spotColor_; }
    void setSensitivity(float v) { sensitivity_ = v; }
    void setSmoothness(float v) { smoothness_ = v; }
    void setSpotColor(const QColor& c) { spotColor_ = c; }

    // The live-view form of a photo-mode key: key + "_LV".
    static QString liveViewKey(const QString& key);

private:
    static GreenScreenFilterSettings load(const QString& colorKey, const QString& sensitivityKey,
                                          const QString& smoothnessKey);
    void save(const QString& colorKey, const QString& sensitivityKey, const QString& smoothnessKey) const;

    float sensitivity_ = 0;
    float smoothness_ = 0;
    QColor spotColor_;
};
