#pragma once
// Keeps the setting IS_INTERNET_RECHABLE at "YES" or "NO". "YES" only once a
// check has resolved the configured service host and connected to it: a
// network that is up but cannot resolve names or reach the service is "NO".
#include <QObject>
#include <QString>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

class QTimer;

class Reachability : public QObject {
    Q_OBJECT
public:
    struct Address {
        sockaddr_storage storage{};
        socklen_t length = 0;
    };
    // Host and port to the addresses to try; empty when the name does not resolve.
    using Resolver = std::function<std::vector<Address>(const std::string& host, const std::string& port)>;

    static Reachability* shared();
    // Sets "NO" at once (the last run's value says nothing about now), then
    // checks now and every `intervalSeconds`, off the interface thread.
    void start(int intervalSeconds = 10);
    void stop();
    // A check is under way.
    bool isChecking() const { return checking_; }

    // The service whose reachability stands for the internet's: the setting
    // ReachabilityURL, else the same key among the application's services.
    static QString serviceURL();
    // Resolves the address's host and connects to its port within `timeout`.
    // Blocking: never on the interface thread.
    static bool checkNow(const QString& url, std::chrono::milliseconds timeout = std::chrono::seconds(3));
    static bool checkNow() { return checkNow(serviceURL()); }
    // Tests stand in for the system's resolver; null restores it.
    static void setResolver(Resolver resolver);
    static std::vector<Address> systemResolve(const std::string& host, const std::string& port);

private:
    Reachability() = default;
    void check();
    QTimer* timer_ = nullptr;
    std::atomic<bool> checking_{false};
};
