#pragma once
// Keeps controls and their settings keys in step both ways: a control edit is
// stored at once; a change of the key (from anywhere) updates the control on
// the interface thread.
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

#include "core/UserDefaults.h"

class QAbstractButton;
class QComboBox;
class QLineEdit;
class QSpinBox;
class QDoubleSpinBox;
class QLabel;
class QWidget;

class SettingsBinder : public QObject {
    Q_OBJECT
public:
    explicit SettingsBinder(QObject* parent = nullptr, UserDefaults* defaults = nullptr);
    ~SettingsBinder() override;

    // A check box or switch: stored as a boolean.
    void bindCheckBox(QAbstractButton* box, const QString& key);
    // A text field: the text as typed; clearing it stores "" (never removes the key).
    void bindLineEdit(QLineEdit* field, const QString& key);
    // A number field: stored as an integer. The key's registered range, when
    // it has one, is the field's range.
    void bindSpinBox(QSpinBox* box, const QString& key);
    void bindDoubleSpinBox(QDoubleSpinBox* box, const QString& key);
    // A menu: stored as the chosen item's text (or its data when it has some).
    void bindComboBox(QComboBox* box, const QString& key);
    // Enables `widget` while `predicate(value of key)` holds.
    void bindEnabled(QWidget* widget, const QString& key, std::function<bool(const QVariant&)> predicate);
    // A button title that follows a string setting.
    void bindTitle(QAbstractButton* button, const QString& key);
    // A label that shows a string setting.
    void bindLabel(QLabel* label, const QString& key);

    UserDefaults& defaults() { return *defaults_; }
    // The settings the pane lets the operator set, in binding order: its
    // edited controls, fields filled by its buttons, and what `offers` names
    // (titles, labels and enabling only show a setting).
    const QStringList& offeredKeys() const { return offeredKeys_; }
    // A setting that a control with code of its own sets.
    void offers(const QString& key);

private:
    void watch(const QString& key, std::function<void()> refresh);
    // Runs `show` as the setting's reflection in a control: whatever signals
    // it causes, nothing is stored. A value the operator never touched stays
    // as it is on disk, even when it reads as something else.
    void reflect(const std::function<void()>& show);
    UserDefaults* defaults_;
    std::vector<UserDefaults::ObserverId> observers_;
    QStringList offeredKeys_;
    int reflecting_ = 0;
};
