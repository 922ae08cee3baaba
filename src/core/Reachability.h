#pragma once
// Keeps the setting IS_INTERNET_RECHABLE at "YES" or "NO".
#include <QObject>
#include <QString>

class QTimer;

class Reachability : public QObject {
    Q_OBJECT
public:
    static Reachability* shared();
    // Checks now and then every `intervalSeconds`, off the interface thread.
    void start(int intervalSeconds = 10);
    void stop();
    // True when some network interface other than loopback is up and has a route.
    static bool checkNow();

private:
    Reachability() = default;
    QTimer* timer_ = nullptr;
};
