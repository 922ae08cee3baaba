#pragma once
// Notices for the operator that stay while their cause lasts (a database
// that cannot be opened, or written), unlike the message window's passing
// messages. Each has a key; posting again under the key replaces its text.
// Callable from any thread; the main window shows them.
#include <QObject>
#include <QString>
#include <QStringList>

#include <mutex>
#include <utility>
#include <vector>

class OperatorNotice : public QObject {
    Q_OBJECT
public:
    static OperatorNotice& shared();

    void post(const QString& key, const QString& text);
    void withdraw(const QString& key);
    // The texts on show, oldest first.
    QStringList texts() const;

signals:
    // Emitted on the thread that made the change; connect queued for widgets.
    void changed();

private:
    OperatorNotice() = default;
    mutable std::mutex mutex_;
    std::vector<std::pair<QString, QString>> notices_;
};
