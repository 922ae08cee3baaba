#pragma once
// Named value transformers used by the panes' bindings.
#include <QString>
#include <QVariant>

class ValueTransformer {
public:
    virtual ~ValueTransformer() = default;
    virtual QVariant transformedValue(const QVariant& value) const = 0;
    virtual bool allowsReverseTransformation() const { return false; }

    // The registry takes ownership.
    static void setValueTransformer(ValueTransformer* transformer, const QString& name);
    static ValueTransformer* valueTransformerForName(const QString& name);
};

// No for an absent value and for "None"; yes otherwise.
class AudioNoneToBoolTransformer : public ValueTransformer {
public:
    QVariant transformedValue(const QVariant& value) const override;
};

// No for an absent value and while AUDIO_VOICE is "None"; otherwise no for
// "None" and yes for anything else.
class ValueNoneOrAudioNoneToBoolTransformer : public ValueTransformer {
public:
    QVariant transformedValue(const QVariant& value) const override;
};

// Registers one of each under its class name (done once at start-up).
void registerAudioValueTransformers();
