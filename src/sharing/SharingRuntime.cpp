#include "sharing/SharingRuntime.h"
#include <nlohmann/json.hpp>

#include <atomic>

#include "base/AppInfo.h"
#include "core/MainQueue.h"
#include "core/UserDefaults.h"

namespace {
std::atomic<base::Executor*> gMain{nullptr};
std::atomic<base::Executor*> gBackground{nullptr};
std::atomic<base::Scheduler*> gScheduler{nullptr};
}  // namespace

base::Executor& SharingRuntime::mainExecutor() {
    if (auto* e = gMain.load()) return *e;
    return MainQueue::shared();
}

void SharingRuntime::setMainExecutor(base::Executor* executor) { gMain = executor; }

base::Executor& SharingRuntime::backgroundExecutor() {
    if (auto* e = gBackground.load()) return *e;
    return base::ThreadPool::shared();
}

void SharingRuntime::setBackgroundExecutor(base::Executor* executor) { gBackground = executor; }

base::Scheduler& SharingRuntime::scheduler() {
    if (auto* s = gScheduler.load()) return *s;
    return base::Scheduler::shared();
}

void SharingRuntime::setScheduler(base::Scheduler* scheduler) { gScheduler = scheduler; }

QString ServiceConfig::value(const QString& key) {
    const std::string k = key.toStdString();
    std::string setting = UserDefaults::standard().string(k);
    if (!setting.empty()) return QString::fromStdString(setting);
    const auto& info = base::AppInfo::shared().infoDictionary();
    auto services = info.find("FlashwrenServices");
    if (services == info.end() || !services->is_object()) return {};
    auto it = services->find(k);
    if (it == services->end() || !it->is_string()) return {};
    return QString::fromStdString(it->get<std::string>());
}

QString joinURL(const QString& base, const QString& path) {
    QString b = base;
    while (b.endsWith('/')) b.chop(1);
    QString p = path;
    while (p.startsWith('/')) p.remove(0, 1);
    return p.isEmpty() ? b + "/" : b + "/" + p;
}
