#pragma once
// Process-wide broadcasts: a name, a sender, user information, and observers
// that say on which executor they want the call.
#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Executor.h"

namespace base {

using UserInfo = std::map<std::string, std::any>;

struct Notification {
    std::string name;
    const void* sender = nullptr;
    UserInfo userInfo;

    // The value under `key` when it holds a T, else null.
    template <class T>
    const T* get(const std::string& key) const {
        auto it = userInfo.find(key);
        if (it == userInfo.end()) return nullptr;
        return std::any_cast<T>(&it->second);
    }
};

class NotificationCenter {
public:
    using ObserverId = std::uint64_t;
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // `sender` null observes every sender; `executor` null calls on the posting thread.
    ObserverId addObserver(const std::string& name, const void* sender, Executor* executor, Handler handler);
    // After this returns the handler is not called again, not even by a post
    // already queued on the observer's executor.
    void removeObserver(ObserverId id);
    void post(const std::string& name, const void* sender = nullptr, UserInfo userInfo = {});

private:
    struct Observer {
        std::string name;
        const void* sender;
        Executor* executor;
        std::shared_ptr<Handler> handler;
        std::shared_ptr<std::atomic<bool>> alive;
    };
    std::mutex mutex_;
    std::map<ObserverId, Observer> observers_;
    ObserverId nextId_ = 1;
};

}  // namespace base
