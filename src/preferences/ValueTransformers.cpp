#include "preferences/ValueTransformers.h"

#include <map>
#include <memory>
#include <mutex>

#include "templates/TEUtils.h"

namespace {
std::mutex gMutex;
std::map<QString, std::unique_ptr<ValueTransformer>>& registry() {
    static auto* r = new std::map<QString, std::unique_ptr<ValueTransformer>>();
    return *r;
}
bool isAbsent(const QVariant& v) { return !v.isValid() || v.isNull(); }
}  // namespace

void ValueTransformer::setValueTransformer(ValueTransformer* transformer, const QString& name) {
    std::lock_guard lock(gMutex);
    registry()[name].reset(transformer);
}

ValueTransformer* ValueTransformer::valueTransformerForName(const QString& name) {
    std::lock_guard lock(gMutex);
    auto it = registry().find(name);
    return it == registry().end() ? nullptr : it->second.get();
}

QVariant AudioNoneToBoolTransformer::transformedValue(const QVariant& value) const {
    if (isAbsent(value)) return false;
    return value.toString() != QLatin1String("None");
}

QVariant ValueNoneOrAudioNoneToBoolTransformer::transformedValue(const QVariant& value) const {
    if (isAbsent(value)) return false;
    if (TEUtils::getUserSettingForKey("AUDIO_VOICE").toString() == QLatin1String("None")) return false;
    return value.toString() != QLatin1String("None");
}

void registerAudioValueTransformers() {
    ValueTransformer::setValueTransformer(new AudioNoneToBoolTransformer(), "AudioNoneToBoolTransformer");
    ValueTransformer::setValueTransformer(new ValueNoneOrAudioNoneToBoolTransformer(),
                                          "ValueNoneOrAudioNoneToBoolTransformer");
}
