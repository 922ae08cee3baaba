#pragma once
// Where the sharing services run their work and read their configuration.
// The application leaves the defaults (the Qt main queue, the shared
// scheduler and pool); tests replace them with a pumped executor and a
// manual clock.
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

#include "base/Executor.h"
#include "base/Http.h"
#include "base/Scheduler.h"

// Form fields in the order they are sent.
using FormFields = QList<QPair<QString, QString>>;

class SharingRuntime {
public:
    // The interface thread: delegate calls, timers of the share queue and the
    // retry service.
    static base::Executor& mainExecutor();
    static void setMainExecutor(base::Executor* executor);  // null: the Qt main queue
    // Blocking network work.
    static base::Executor& backgroundExecutor();
    static void setBackgroundExecutor(base::Executor* executor);  // null: the shared pool
    static base::Scheduler& scheduler();
    static void setScheduler(base::Scheduler* scheduler);  // null: the shared scheduler

    // How long a request to a sharing service may keep silent. While it is
    // sent, none of it may stay still for the service's own time-out (a slow
    // line that keeps moving is never cut); once it is out whole, its answer
    // is awaited two minutes from its last move (the share queue waits a
    // little longer, so that the request reports this itself). Connecting
    // keeps the request's connect limit.
    static constexpr std::chrono::seconds kAnswerWait{120};
    // No service's own limits go below these: on a slow line shared with
    // the booth's other uploads a request that still goes can stand still
    // (or wait for its connection) longer than a quiet line would show.
    static constexpr std::chrono::seconds kLeastSendSilence{30};
    static constexpr long kLeastConnectSeconds = 30;
    struct RequestLimits {
        std::chrono::milliseconds sendSilence;
        std::chrono::milliseconds answerWait;
    };
    // `priority` says whether a guest waits on the request or it is the
    // booth's own background work (see base/LineTurns.h).
    static void applyRequestLimits(base::HttpRequest& request, std::chrono::milliseconds serviceSendSilence,
                                   base::LinePriority priority);
    // Limits for every service at once, in place of their own (tests take
    // them short); none: the services' own.
    static void setRequestLimits(std::optional<RequestLimits> limits);
    // Called with every request that applyRequestLimits has set up, on its
    // thread (tests see the limits each service's requests go out with);
    // null: none.
    static void setRequestObserver(std::function<void(const base::HttpRequest&)> observer);
    // While one lives, the requests that applyRequestLimits sets up on its
    // thread call `hook` as they move and once they are out whole, and
    // `sent` (on that thread, before the answer is read) once they are out
    // whole.
    class MovingScope {
    public:
        explicit MovingScope(std::function<void()> hook, std::function<void()> sent = {});
        ~MovingScope();
        MovingScope(const MovingScope&) = delete;
        MovingScope& operator=(const MovingScope&) = delete;

    private:
        std::function<void()> previous_;
        std::function<void()> previousSent_;
    };
};

// Addresses and credentials of the outside services. A user setting of the
// same key wins (an operator may point a service elsewhere); otherwise the
// value comes from the "FlashwrenServices" dictionary of Info.plist.
class ServiceConfig {
public:
    static QString value(const QString& key);

    // Keys.
    static constexpr const char* GlimmerlyAPIURL = "GlimmerlyAPIURL";
    static constexpr const char* GlimmerlySharedSecret = "GlimmerlySharedSecret";
    static constexpr const char* FlashwrenAdminURL = "FlashwrenAdminURL";
    static constexpr const char* FlashwrenWebServiceURL = "FlashwrenWebServiceURL";
    static constexpr const char* GoogleAnalyticsURL = "GoogleAnalyticsURL";
    static constexpr const char* GoogleTrackingID = "GoogleTrackingID";
    static constexpr const char* SendGridBaseURL = "SendGridBaseURL";
    static constexpr const char* SendGridAPIUser = "SendGridAPIUser";
    static constexpr const char* SendGridAPIKey = "SendGridAPIKey";
    static constexpr const char* NoReplyEmailAddress = "NoReplyEmailAddress";
    static constexpr const char* TwilioBaseURL = "TwilioBaseURL";
    static constexpr const char* S3EndpointURL = "S3EndpointURL";
    static constexpr const char* S3Region = "S3Region";
    static constexpr const char* S3Bucket = "S3Bucket";
    static constexpr const char* S3PublicURL = "S3PublicURL";
    static constexpr const char* S3AccessKeyID = "S3AccessKeyID";
    static constexpr const char* S3SecretAccessKey = "S3SecretAccessKey";
};

// A request that failed from slowness rather than from the line being down:
// cut while it was sent ("too slow"; the service cannot have acted on part
// of a request), or out whole with no answer (the service may have acted on
// it; so also a cut request that may have reached it whole). None for any other outcome. `service` names it for the guest's row,
// e.g. "the mail service".
struct SlowRequest {
    bool unanswered = false;
    QString message;
};
// Whether a stored failure message is one of an unanswered request.
bool isUnansweredMessage(const QString& message);
std::optional<SlowRequest> slowRequest(const QString& service, const base::HttpRequest& request,
                                       const base::HttpResponse& response);

// Joins a base address and a path with exactly one "/" between them.
QString joinURL(const QString& base, const QString& path);
