#pragma once
// Settings-store operations over the standard user defaults, and the
// template and application folders.
#include <QColor>
#include <QString>
#include <QVariant>

#include <nlohmann/json_fwd.hpp>

class TEUtils {
public:
    // The stored value (or registered default), invalid QVariant when none.
    static QVariant getUserSettingForKey(const QString& key);
    // Stores and synchronizes; logs "Unable to get NSUserDefault object" when
    // the defaults cannot be had.
    static void setUserSetting(const QVariant& value, const QString& key);
    // The same without the log line.
    static void saveUserSetting(const QVariant& value, const QString& key);

    // "#RRGGBB" or "RRGGBB": the colour of the three bytes, alpha 1. Invalid text
    // gives an invalid QColor.
    static QColor getColorFromHexString(const QString& hex);

    static QString templatesFolderPath();   // the data folder's "templates"
    static QString applicationFolderPath(); // the resources folder

    // Conversions between settings values and Qt values.
    static QVariant toVariant(const nlohmann::json& value);
    static nlohmann::json fromVariant(const QVariant& value);
};

// 0xRRGGBB as a colour with alpha 1.0.
QColor colorWithDeviceValue(unsigned int rgb);
