#pragma once
// One booth per user: the first launch holds a lock file in the folder of
// its database and listens on a local socket; a later launch finds the lock
// taken, asks the running booth to come forward and goes.
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

class QLocalServer;
class QLockFile;

class SingleBooth : public QObject {
    Q_OBJECT
public:
    explicit SingleBooth(QObject* parent = nullptr);
    ~SingleBooth() override;

    // How old a lock file must be before one whose owner cannot be looked up
    // counts as left behind. A booth that is starting writes its lock within
    // moments.
    static constexpr std::chrono::seconds kStaleLockTime{30};
    // How long a later launch waits for the running booth to answer: one
    // whose interface thread is stuck longer counts as none.
    static constexpr std::chrono::seconds kAnswerTime{5};

    // The folder whose booth this is: the one holding the database.
    static QString defaultFolder();
    // True when this process is now the booth of `folder`. False when another
    // live process holds it; broughtForward() then says whether that booth
    // answered and was asked to come forward.
    bool acquire(const QString& folder);
    bool broughtForward() const { return broughtForward_; }

signals:
    // Another launch asked for this booth (interface thread).
    void activationRequested();

private:
    static QString serverName(const QString& folder);
    static bool setAsideUnlessAFile(const QString& path);
    static bool removeOwnerlessLock(const QString& path);
    bool askRunningBooth(const QString& name);
    bool broughtForward_ = false;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
};
