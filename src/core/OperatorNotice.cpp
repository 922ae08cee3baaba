#include "core/OperatorNotice.h"

#include <algorithm>

OperatorNotice& OperatorNotice::shared() {
    static OperatorNotice* notice = new OperatorNotice();
    return *notice;
}

void OperatorNotice::post(const QString& key, const QString& text) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(notices_.begin(), notices_.end(), [&](const auto& n) { return n.first == key; });
        if (it != notices_.end()) {
            if (it->second == text) return;
            it->second = text;
        } else {
            notices_.emplace_back(key, text);
        }
    }
    emit changed();
}

void OperatorNotice::withdraw(const QString& key) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(notices_.begin(), notices_.end(), [&](const auto& n) { return n.first == key; });
        if (it == notices_.end()) return;
        notices_.erase(it);
    }
    emit changed();
}

QStringList OperatorNotice::texts() const {
    std::lock_guard lock(mutex_);
    QStringList out;
    for (const auto& n : notices_) out << n.second;
    return out;
}
