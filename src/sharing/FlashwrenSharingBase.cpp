#include "sharing/FlashwrenSharingBase.h"

#include "base/Log.h"
#include "sharing/SharingRuntime.h"

FlashwrenSharingBase::FlashwrenSharingBase(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate)
    : delegate_(std::move(delegate)) {}

std::shared_ptr<FlashwrenSharingBaseDelegate> FlashwrenSharingBase::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void FlashwrenSharingBase::setDelegate(std::shared_ptr<FlashwrenSharingBaseDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

QString FlashwrenSharingBase::userNameToWhomFileIsShared() const {
    std::lock_guard lock(mutex_);
    return userName_;
}

void FlashwrenSharingBase::setUserNameToWhomFileIsShared(const QString& name) {
    std::lock_guard lock(mutex_);
    userName_ = name;
}

std::shared_ptr<FlashwrenSharingBaseDelegate> FlashwrenSharingBase::unowned(FlashwrenSharingBaseDelegate* delegate) {
    return std::shared_ptr<FlashwrenSharingBaseDelegate>(delegate, [](FlashwrenSharingBaseDelegate*) {});
}

void FlashwrenSharingBase::beginAttempt(const QString& service) {
    std::shared_ptr<FlashwrenSharingBaseDelegate> d;
    {
        std::lock_guard lock(mutex_);
        outcomePending_ = true;
        d = delegate_;
    }
    if (!d) return;
    SharingRuntime::mainExecutor().post([d, service] { d->sharingWillStartFor(service); });
}

void FlashwrenSharingBase::expectOutcome() {
    std::lock_guard lock(mutex_);
    outcomePending_ = true;
}

void FlashwrenSharingBase::tellWillStart(const QString& service) {
    auto d = delegate();
    if (!d) return;
    SharingRuntime::mainExecutor().post([d, service] { d->sharingWillStartFor(service); });
}

bool FlashwrenSharingBase::takeOutcome(const QString& service) {
    std::lock_guard lock(mutex_);
    if (!outcomePending_) {
        spdlog::warn("SharingService: ignoring a second outcome of one {} attempt", service.toStdString());
        return false;
    }
    outcomePending_ = false;
    return true;
}

void FlashwrenSharingBase::reportFinished(const QString& service, const QString& message) {
    if (!takeOutcome(service)) return;
    // The service object stays alive until its delegate has heard the outcome.
    auto self = weak_from_this().lock();
    auto d = delegate();
    if (!d) return;
    SharingRuntime::mainExecutor().post([self, d, service, message] { d->sharingDidFinishedFor(service, message); });
}

SharingRuntime::MovingScope FlashwrenSharingBase::reportMoving(const QString& service) {
    auto d = delegate();
    return SharingRuntime::MovingScope(
        [d, service] {
            if (d) SharingRuntime::mainExecutor().post([d, service] { d->sharingIsMoving(service); });
        },
        [d, service] {
            if (d) d->sharingWentOutWhole(service);
        });
}

void FlashwrenSharingBase::reportUnanswered(const QString& service, const QString& message) {
    if (!takeOutcome(service)) return;
    auto self = weak_from_this().lock();
    auto d = delegate();
    if (!d) return;
    SharingRuntime::mainExecutor().post([self, d, service, message] { d->sharingGotNoAnswerFor(service, message); });
}

void FlashwrenSharingBase::reportFailed(const QString& service, const QString& message) {
    if (!takeOutcome(service)) return;
    auto self = weak_from_this().lock();
    auto d = delegate();
    if (!d) return;
    SharingRuntime::mainExecutor().post([self, d, service, message] { d->sharingDidFailedFor(service, message); });
}
