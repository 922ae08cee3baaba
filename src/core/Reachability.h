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
    // How long a check waits for the service to take its connection. On a
    // slow line busy with the booth's own uploads that takes seconds.
    static constexpr std::chrono::seconds kConnectWait{10};
    // A service that took no connection within the wait still counts as
    // reachable while the booth's own requests moved this recently: the
    // line is busy, not down. A refusal or a name that does not resolve
    // counts at once.
    static constexpr std::chrono::seconds kRecentMove{30};

    // Sets "NO" at once (the last run's value says nothing about now), then
    // checks now and every `intervalSeconds`, off the interface thread.
    void start(int intervalSeconds = 10, std::chrono::milliseconds connectWait = kConnectWait);
    void stop();
    // A check is under way.
    bool isChecking() const { return checking_; }

    // The service whose reachability stands for the internet's: the setting
    // ReachabilityURL, else the same key among the application's services.
    static QString serviceURL();
    // Resolves the address's host and connects to its port within `timeout`.
    // Blocking: never on the interface thread.
    enum class Answer { Reachable, NoAnswer, NotReachable };
    static Answer probe(const QString& url, std::chrono::milliseconds timeout);
    static bool checkNow(const QString& url, std::chrono::milliseconds timeout = kConnectWait) {
        return probe(url, timeout) == Answer::Reachable;
    }
    static bool checkNow() { return checkNow(serviceURL()); }
    // Tests stand in for the system's resolver; null restores it.
    static void setResolver(Resolver resolver);
    static std::vector<Address> systemResolve(const std::string& host, const std::string& port);

private:
    Reachability() = default;
    void check();
    QTimer* timer_ = nullptr;
    std::atomic<long long> connectWaitMs_{0};
    std::atomic<bool> checking_{false};
};
