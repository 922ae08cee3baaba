#include "preferences/SettingsBinder.h"
#include <nlohmann/json.hpp>

#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QSpinBox>

#include <algorithm>
#include <limits>

#include "core/MainQueue.h"
#include "templates/TEUtils.h"

SettingsBinder::SettingsBinder(QObject* parent, UserDefaults* defaults)
    : QObject(parent), defaults_(defaults ? defaults : &UserDefaults::standard()) {}

SettingsBinder::~SettingsBinder() {
    for (auto id : observers_) defaults_->unobserve(id);
}

void SettingsBinder::watch(const QString& key, std::function<void()> refresh) {
    reflect(refresh);
    QPointer<SettingsBinder> self(this);
    observers_.push_back(defaults_->observe(key.toStdString(), [self, refresh](const std::string&) {
        runOnMainThread([self, refresh] {
            if (self) self->reflect(refresh);
        });
    }));
}

void SettingsBinder::reflect(const std::function<void()>& show) {
    ++reflecting_;
    show();
    --reflecting_;
}

void SettingsBinder::offers(const QString& key) {
    if (!offeredKeys_.contains(key)) offeredKeys_ << key;
}

void SettingsBinder::bindCheckBox(QAbstractButton* box, const QString& key) {
    box->setCheckable(true);
    QPointer<QAbstractButton> b(box);
    watch(key, [this, b, key] {
        if (!b) return;
        bool v = defaults_->boolean(key.toStdString());
        if (b->isChecked() != v) b->setChecked(v);
    });
    offers(key);
    connect(box, &QAbstractButton::toggled, this, [this, key](bool on) {
        if (reflecting_) return;
        if (defaults_->boolean(key.toStdString()) != on || !defaults_->has(key.toStdString()))
            defaults_->set(key.toStdString(), on);
    });
}

void SettingsBinder::bindLineEdit(QLineEdit* field, const QString& key) {
    QPointer<QLineEdit> f(field);
    watch(key, [this, f, key] {
        if (!f) return;
        QString v = QString::fromStdString(defaults_->string(key.toStdString()));
        if (f->text() != v) f->setText(v);
    });
    offers(key);
    connect(field, &QLineEdit::textChanged, this, [this, key](const QString& text) {
        if (reflecting_) return;
        if (QString::fromStdString(defaults_->string(key.toStdString())) != text || !defaults_->has(key.toStdString()))
            defaults_->set(key.toStdString(), text.toStdString());
    });
}

void SettingsBinder::bindSpinBox(QSpinBox* box, const QString& key) {
    if (auto range = defaults_->range(key.toStdString())) {
        auto bound = [](double v) {
            return static_cast<int>(std::clamp(v, double(std::numeric_limits<int>::min()),
                                               double(std::numeric_limits<int>::max())));
        };
        box->setRange(bound(range->min), bound(range->max));
    }
    offers(key);
    QPointer<QSpinBox> b(box);
    watch(key, [this, b, key] {
        if (!b) return;
        auto v = static_cast<int>(defaults_->integer(key.toStdString()));
        if (b->value() != v) b->setValue(v);
    });
    connect(box, qOverload<int>(&QSpinBox::valueChanged), this, [this, key](int v) {
        if (reflecting_) return;
        if (defaults_->integer(key.toStdString()) != v || !defaults_->has(key.toStdString()))
            defaults_->set(key.toStdString(), v);
    });
}

void SettingsBinder::bindDoubleSpinBox(QDoubleSpinBox* box, const QString& key) {
    offers(key);
    QPointer<QDoubleSpinBox> b(box);
    watch(key, [this, b, key] {
        if (!b) return;
        double v = defaults_->real(key.toStdString());
        if (b->value() != v) b->setValue(v);
    });
    connect(box, qOverload<double>(&QDoubleSpinBox::valueChanged), this, [this, key](double v) {
        if (reflecting_) return;
        if (defaults_->real(key.toStdString()) != v || !defaults_->has(key.toStdString()))
            defaults_->set(key.toStdString(), v);
    });
}

void SettingsBinder::bindComboBox(QComboBox* box, const QString& key) {
    offers(key);
    QPointer<QComboBox> b(box);
    auto valueAt = [b](int i) -> QString {
        QVariant d = b->itemData(i);
        return d.isValid() ? d.toString() : b->itemText(i);
    };
    // Items may carry numbers, stored as numbers: the stored value is matched
    // as text whatever its type, without reading a number as a wrong text.
    auto storedText = [this, key] {
        auto v = defaults_->object(key.toStdString());
        return v ? TEUtils::toVariant(*v).toString() : QString();
    };
    watch(key, [b, valueAt, storedText] {
        if (!b) return;
        const QString v = storedText();
        for (int i = 0; i < b->count(); ++i) {
            if (valueAt(i) == v) {
                if (b->currentIndex() != i) b->setCurrentIndex(i);
                return;
            }
        }
        if (b->isEditable()) b->setEditText(v);
    });
    connect(box, qOverload<int>(&QComboBox::activated), this, [this, b, key, valueAt](int i) {
        if (reflecting_) return;
        // An item's data keeps its type: a number is stored as a number.
        QVariant data = b ? b->itemData(i) : QVariant();
        if (data.isValid()) defaults_->set(key.toStdString(), TEUtils::fromVariant(data));
        else defaults_->set(key.toStdString(), valueAt(i).toStdString());
    });
    if (box->isEditable()) {
        connect(box, &QComboBox::editTextChanged, this, [this, key, storedText](const QString& t) {
            if (reflecting_) return;
            if (storedText() != t)
                defaults_->set(key.toStdString(), t.toStdString());
        });
    }
}

void SettingsBinder::bindEnabled(QWidget* widget, const QString& key, std::function<bool(const QVariant&)> predicate) {
    QPointer<QWidget> w(widget);
    watch(key, [this, w, key, predicate] {
        if (!w) return;
        auto v = defaults_->object(key.toStdString());
        w->setEnabled(predicate(v ? TEUtils::toVariant(*v) : QVariant()));
    });
}

void SettingsBinder::bindTitle(QAbstractButton* button, const QString& key) {
    QPointer<QAbstractButton> b(button);
    watch(key, [this, b, key] {
        if (b) b->setText(QString::fromStdString(defaults_->string(key.toStdString())));
    });
}

void SettingsBinder::bindLabel(QLabel* label, const QString& key) {
    QPointer<QLabel> l(label);
    watch(key, [this, l, key] {
        if (l) l->setText(QString::fromStdString(defaults_->string(key.toStdString())));
    });
}
