#include "sharing/SharingRuntime.h"
#include <nlohmann/json.hpp>

#include <atomic>
#include <mutex>

#include "base/AppInfo.h"
#include "core/MainQueue.h"
#include "core/UserDefaults.h"

namespace {
std::atomic<base::Executor*> gMain{nullptr};
std::atomic<base::Executor*> gBackground{nullptr};
std::atomic<base::Scheduler*> gScheduler{nullptr};
// Milliseconds; negative: the services' own limits.
std::atomic<long long> gSendSilence{-1};
std::atomic<long long> gAnswerWait{-1};
thread_local std::function<void()> tMovingHook;
std::mutex gObserverMutex;
std::function<void(const base::HttpRequest&)> gObserver;
thread_local std::function<void()> tSentHook;
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

void SharingRuntime::applyRequestLimits(base::HttpRequest& request, std::chrono::milliseconds serviceSendSilence,
                                        base::LinePriority priority) {
    using std::chrono::milliseconds;
    const long long silence = gSendSilence.load();
    const long long answer = gAnswerWait.load();
    request.timeoutSeconds = 0;
    request.priority = priority;
    request.connectTimeoutSeconds = std::max(request.connectTimeoutSeconds, kLeastConnectSeconds);
    request.sendSilence = silence >= 0 ? milliseconds(silence) : std::max<milliseconds>(serviceSendSilence, kLeastSendSilence);
    request.answerWait = answer >= 0 ? milliseconds(answer) : milliseconds(kAnswerWait);
    request.onMoving = tMovingHook;
    request.onSent = tSentHook;
    std::function<void(const base::HttpRequest&)> observer;
    {
        std::lock_guard lock(gObserverMutex);
        observer = gObserver;
    }
    if (observer) observer(request);
}

void SharingRuntime::setRequestObserver(std::function<void(const base::HttpRequest&)> observer) {
    std::lock_guard lock(gObserverMutex);
    gObserver = std::move(observer);
}

SharingRuntime::MovingScope::MovingScope(std::function<void()> hook, std::function<void()> sent)
    : previous_(std::move(tMovingHook)), previousSent_(std::move(tSentHook)) {
    tMovingHook = std::move(hook);
    tSentHook = std::move(sent);
}

SharingRuntime::MovingScope::~MovingScope() {
    tMovingHook = std::move(previous_);
    tSentHook = std::move(previousSent_);
}

void SharingRuntime::setRequestLimits(std::optional<RequestLimits> limits) {
    gSendSilence = limits ? limits->sendSilence.count() : -1;
    gAnswerWait = limits ? limits->answerWait.count() : -1;
}

bool isUnansweredMessage(const QString& message) { return message.startsWith(QLatin1String("No answer")); }

std::optional<SlowRequest> slowRequest(const QString& service, const base::HttpRequest& request,
                                       const base::HttpResponse& response) {
    if (response.completed()) return std::nullopt;
    auto seconds = [](std::chrono::milliseconds span) { return QString::number(span.count() / 1000.0, 'g', 4); };
    if (response.cut == base::HttpResponse::Cut::SendSilent && response.requestSent)
        return SlowRequest{true, QStringLiteral("No answer from %1: nothing of the request moved in %2 s, when it may "
                                                "already have reached it whole.")
                                     .arg(service, seconds(request.sendSilence))};
    if (response.cut == base::HttpResponse::Cut::SendSilent)
        return SlowRequest{false, QStringLiteral("Too slow: nothing of the request to %1 moved in %2 s.")
                                      .arg(service, seconds(request.sendSilence))};
    if (response.cut == base::HttpResponse::Cut::NoAnswer)
        return SlowRequest{true, QStringLiteral("No answer from %1 in %2 s.").arg(service, seconds(request.answerWait))};
    if (response.requestSent)
        return SlowRequest{true, QStringLiteral("No answer from %1: the connection ended after the request was sent (%2).")
                                     .arg(service, QString::fromStdString(response.error))};
    return std::nullopt;
}

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
