#include "base/NotificationCenter.h"

namespace base {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter();
    return *center;
}

NotificationCenter::ObserverId NotificationCenter::addObserver(const std::string& name, const void* sender,
                                                               Executor* executor, Handler handler) {
    std::lock_guard lock(mutex_);
    ObserverId id = nextId_++;
    observers_[id] = Observer{name, sender, executor, std::make_shared<Handler>(std::move(handler)),
                              std::make_shared<std::atomic<bool>>(true)};
    return id;
}

void NotificationCenter::removeObserver(ObserverId id) {
    std::lock_guard lock(mutex_);
    auto it = observers_.find(id);
    if (it == observers_.end()) return;
    it->second.alive->store(false);
    observers_.erase(it);
}

void NotificationCenter::post(const std::string& name, const void* sender, UserInfo userInfo) {
    std::vector<Observer> targets;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, o] : observers_)
            if (o.name == name && (o.sender == nullptr || o.sender == sender)) targets.push_back(o);
    }
    if (targets.empty()) return;
    auto note = std::make_shared<Notification>(Notification{name, sender, std::move(userInfo)});
    for (auto& o : targets) {
        auto handler = o.handler;
        auto alive = o.alive;
        dispatch(o.executor, [handler, alive, note] {
            if (alive->load()) (*handler)(*note);
        });
    }
}

}  // namespace base
