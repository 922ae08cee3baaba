#include "templates/TEUtils.h"
#include <nlohmann/json.hpp>

#include <QByteArray>
#include <QDateTime>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include "base/AppInfo.h"
#include "base/Log.h"
#include "core/UserDefaults.h"
#include "core/WrenUtils.h"

QVariant TEUtils::getUserSettingForKey(const QString& key) {
    auto v = UserDefaults::standard().object(key.toStdString());
    return v ? toVariant(*v) : QVariant();
}

void TEUtils::setUserSetting(const QVariant& value, const QString& key) {
    auto& defaults = UserDefaults::standard();
    defaults.set(key.toStdString(), fromVariant(value));
}

void TEUtils::saveUserSetting(const QVariant& value, const QString& key) {
    auto& defaults = UserDefaults::standard();
    defaults.set(key.toStdString(), fromVariant(value));
}

QColor TEUtils::getColorFromHexString(const QString& hex) {
    QString digits = hex.trimmed();
    if (digits.startsWith(QLatin1Char('#'))) digits.remove(0, 1);
    if (digits.size() != 6) return {};
    bool ok = false;
    uint rgb = digits.toUInt(&ok, 16);
    if (!ok) return {};
    return colorWithDeviceValue(rgb);
}

QString TEUtils::templatesFolderPath() { return WrenUtils::getTemplatesFolderPath(); }

QString TEUtils::applicationFolderPath() { return QString::fromStdString(base::AppInfo::shared().resourcesDir()); }

QVariant TEUtils::toVariant(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::boolean:
        return value.get<bool>();
    case nlohmann::json::value_t::number_integer:
        return QVariant::fromValue<qlonglong>(value.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned:
        return QVariant::fromValue<qulonglong>(value.get<std::uint64_t>());
    case nlohmann::json::value_t::number_float:
        return value.get<double>();
    case nlohmann::json::value_t::string:
        return QString::fromStdString(value.get<std::string>());
    case nlohmann::json::value_t::binary: {
        const auto& b = value.get_binary();
        return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
    }
    case nlohmann::json::value_t::array: {
        QVariantList list;
        for (const auto& item : value) list.append(toVariant(item));
        return list;
    }
    case nlohmann::json::value_t::object: {
        QVariantMap map;
        for (auto it = value.begin(); it != value.end(); ++it) map.insert(QString::fromStdString(it.key()), toVariant(it.value()));
        return map;
    }
    default:
        return {};
    }
}

nlohmann::json TEUtils::fromVariant(const QVariant& value) {
    if (!value.isValid() || value.isNull()) return nullptr;
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return static_cast<std::int64_t>(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return static_cast<std::uint64_t>(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble();
    case QMetaType::QString:
        return value.toString().toStdString();
    case QMetaType::QByteArray: {
        QByteArray b = value.toByteArray();
        return nlohmann::json::binary(std::vector<std::uint8_t>(b.begin(), b.end()));
    }
    case QMetaType::QDateTime:
        // Property-list dates are held as seconds since 1970.
        return value.toDateTime().toMSecsSinceEpoch() / 1000.0;
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        auto out = nlohmann::json::array();
        for (const QVariant& item : value.toList()) {
            auto j = fromVariant(item);
            if (!j.is_null()) out.push_back(std::move(j));
        }
        return out;
    }
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        auto out = nlohmann::json::object();
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it) {
            auto j = fromVariant(it.value());
            if (!j.is_null()) out[it.key().toStdString()] = std::move(j);
        }
        return out;
    }
    default:
        if (value.canConvert<QString>()) return value.toString().toStdString();
        spdlog::warn("TEUtils: a setting of type {} cannot be stored", value.typeName());
        return nullptr;
    }
}

QColor colorWithDeviceValue(unsigned int rgb) {
    return QColor::fromRgbF(((rgb >> 16) & 0xff) / 255.0f, ((rgb >> 8) & 0xff) / 255.0f, (rgb & 0xff) / 255.0f, 1.0f);
}
