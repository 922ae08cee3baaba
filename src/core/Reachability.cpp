#include "core/Reachability.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

#include "base/Executor.h"
#include "base/Log.h"
#include "core/UserDefaults.h"

namespace {

// A default route (IPv4 or IPv6) through an interface other than loopback.
bool hasDefaultRoute() {
    {
        std::ifstream in("/proc/net/route");
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string iface, dest, gateway;
            unsigned flags = 0;
            fields >> iface >> dest >> gateway >> std::hex >> flags;
            if (iface != "lo" && dest == "00000000" && (flags & 0x1)) return true;
        }
    }
    std::ifstream in6("/proc/net/ipv6_route");
    std::string line;
    while (std::getline(in6, line)) {
        std::istringstream fields(line);
        std::string dest, destLen, src, srcLen, next, metric, refs, use, flags, iface;
        fields >> dest >> destLen >> src >> srcLen >> next >> metric >> refs >> use >> flags >> iface;
        if (iface.empty() || iface == "lo") continue;
        unsigned long f = std::stoul(flags, nullptr, 16);
        // RTF_UP and not a reject route
        if (dest == std::string(32, '0') && destLen == "00" && (f & 0x1) && !(f & 0x200)) return true;
    }
    return false;
}

void publish(bool reachable) {
    const char* value = reachable ? "YES" : "NO";
    auto& defaults = UserDefaults::standard();
    if (defaults.string("IS_INTERNET_RECHABLE") != value) {
        spdlog::info("Reachability: the internet is {}", reachable ? "reachable" : "not reachable");
        defaults.set("IS_INTERNET_RECHABLE", std::string(value));
    }
}

std::atomic<bool> checking{false};

}  // namespace

Reachability* Reachability::shared() {
    static Reachability* r = [] {
        auto* x = new Reachability();
        if (auto* app = QCoreApplication::instance()) x->moveToThread(app->thread());
        return x;
    }();
    return r;
}

bool Reachability::checkNow() {
    try {
        return hasDefaultRoute();
    } catch (const std::exception& e) {
        spdlog::warn("Reachability: unable to read the routes: {}", e.what());
        return false;
    }
}

void Reachability::start(int intervalSeconds) {
    auto check = [] {
        if (checking.exchange(true)) return;
        base::ThreadPool::shared().post([] {
            publish(checkNow());
            checking = false;
        });
    };
    QMetaObject::invokeMethod(
        this,
        [this, intervalSeconds, check] {
            if (!timer_) {
                timer_ = new QTimer(this);
                connect(timer_, &QTimer::timeout, this, check);
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
