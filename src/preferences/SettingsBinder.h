#pragma once
// Keeps controls and their settings keys in step both ways: a control edit is
// stored at once; a change of the key (from anywhere) updates the control on
// the interface thread.
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

#include "core/UserDefaults.h"

class QAbstractButton;
class QComboBox;
class QLineEdit;
class QSpinBox;
class QDoubleSpinBox;
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
    // A number field: stored as an integer.
    void bindSpinBox(QSpinBox* box, const QString& key);
    void bindDoubleSpinBox(QDoubleSpinBox* box, const QString& key);
    // A menu: stored as the chosen item's text (or its data when it has some).
    void bindComboBox(QComboBox* box, const QString& key);
    // Enables `widget` while `predicate(value of key)` holds.
    void bindEnabled(QWidget* widget, const QString& key, std::function<bool(const QVariant&)> predicate);
    // A button title that follows a string setting.
    void bindTitle(QAbstractButton* button, const QString& key);

    UserDefaults& defaults() { return *defaults_; }

private:
    void watch(const QString& key, std::function<void()> refresh);
    UserDefaults* defaults_;
    std::vector<UserDefaults::ObserverId> observers_;
};
