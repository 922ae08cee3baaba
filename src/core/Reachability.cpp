#include "core/Reachability.h"
#include <nlohmann/json.hpp>

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include "base/AppInfo.h"
#include "base/Executor.h"
#include "base/LineTurns.h"
#include "base/Log.h"
#include "core/UserDefaults.h"

namespace {

std::mutex resolverMutex;
Reachability::Resolver testResolver;

void publish(bool reachable) {
    const char* value = reachable ? "YES" : "NO";
    auto& defaults = UserDefaults::standard();
    if (defaults.string("IS_INTERNET_RECHABLE") != value) {
        spdlog::info("Reachability: the internet is {}", reachable ? "reachable" : "not reachable");
        defaults.set("IS_INTERNET_RECHABLE", std::string(value));
    }
}

// One non-blocking connect, waited for at most `timeout`.
Reachability::Answer connects(const Reachability::Address& address, std::chrono::milliseconds timeout) {
    using Answer = Reachability::Answer;
    const int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Answer::NotReachable;
    Answer answer = Answer::NotReachable;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) {
        answer = Answer::Reachable;
    } else if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
        } while (ready < 0 && errno == EINTR);
        if (ready == 1) {
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) answer = Answer::Reachable;
        } else if (ready == 0) {
            answer = Answer::NoAnswer;
        }
    }
    ::close(fd);
    return answer;
}

}  // namespace

Reachability* Reachability::shared() {
    static Reachability* r = [] {
        auto* x = new Reachability();
        if (auto* app = QCoreApplication::instance()) x->moveToThread(app->thread());
        return x;
    }();
    return r;
}

QString Reachability::serviceURL() {
    const std::string setting = UserDefaults::standard().string("ReachabilityURL");
    if (!setting.empty()) return QString::fromStdString(setting);
    const auto& info = base::AppInfo::shared().infoDictionary();
    auto services = info.find("FlashwrenServices");
    if (services == info.end() || !services->is_object()) return {};
    auto it = services->find("ReachabilityURL");
    if (it == services->end() || !it->is_string()) return {};
    return QString::fromStdString(it->get<std::string>());
}

void Reachability::setResolver(Resolver resolver) {
    std::lock_guard lock(resolverMutex);
    testResolver = std::move(resolver);
}

std::vector<Reachability::Address> Reachability::systemResolve(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<Address> out;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return out;
    for (addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address address;
        std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
        address.length = a->ai_addrlen;
        out.push_back(address);
    }
    ::freeaddrinfo(found);
    return out;
}

Reachability::Answer Reachability::probe(const QString& url, std::chrono::milliseconds timeout) {
    const QUrl parsed(url);
    const std::string host = parsed.host().toStdString();
    if (host.empty()) {
        spdlog::warn("Reachability: no service address to check");
        return Answer::NotReachable;
    }
    const int port = parsed.port(parsed.scheme() == QLatin1String("https") ? 443 : 80);
    Resolver resolver;
    {
        std::lock_guard lock(resolverMutex);
        resolver = testResolver;
    }
    const auto addresses = resolver ? resolver(host, std::to_string(port)) : systemResolve(host, std::to_string(port));
    if (addresses.empty()) {
        spdlog::trace("Reachability: {} does not resolve", host);
        return Answer::NotReachable;
    }
    Answer answer = Answer::NotReachable;
    for (const Address& address : addresses) {
        const Answer one = connects(address, timeout);
        if (one == Answer::Reachable) return one;
        if (one == Answer::NoAnswer) answer = one;
    }
    spdlog::trace("Reachability: {} port {} does not answer", host, port);
    return answer;
}

void Reachability::check() {
    if (checking_.exchange(true)) return;
    base::ThreadPool::shared().post([this] {
        const Answer answer = probe(serviceURL(), std::chrono::milliseconds(connectWaitMs_.load()));
        const bool moving = std::chrono::steady_clock::now() - base::lineLastMoved() < kRecentMove;
        if (answer == Answer::NoAnswer && moving)
            spdlog::debug("Reachability: the service took no connection in time, but the booth's requests are "
                         "moving: the line is busy, not down");
        publish(answer == Answer::Reachable || (answer == Answer::NoAnswer && moving));
        checking_ = false;
    });
}

void Reachability::start(int intervalSeconds, std::chrono::milliseconds connectWait) {
    connectWaitMs_ = connectWait.count();
    // Until a check says otherwise the booth is offline: uploads wait for
    // the retry service, tracking hits are stored.
    publish(false);
    QMetaObject::invokeMethod(
        this,
        [this, intervalSeconds] {
            if (!timer_) {
                timer_ = new QTimer(this);
                connect(timer_, &QTimer::timeout, this, &Reachability::check);
            }
            timer_->start(std::max(1, intervalSeconds) * 1000);
            check();
        },
        Qt::AutoConnection);
}

void Reachability::stop() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (timer_) timer_->stop();
        },
        Qt::AutoConnection);
}
