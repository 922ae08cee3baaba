#pragma once
// Client of the Glimmerly share-tracking service: a signed form post for each
// share sent, and the gallery's previous/next switch sent to the Flashwren
// administration site. The posts never run on the caller's thread; each call
// returns a future that is ready once the post has ended (logged).
#include <QByteArray>
#include <QString>

#include <future>
#include <memory>
#include <optional>

#include "sharing/SharingRuntime.h"

class SharingModel;

class GlimmerlyApi {
public:
    std::shared_future<void> uploadTrackingDetailsOnGlimmerlyWSFor(const SharingModel& share, const QString& message,
                                                                 const QString& from);
    std::shared_future<void> updatePrevNextOfUserAtFlashwrenServer(long prevNext);

    // The share-tracking form of a row, signed, with "action" last.
    static FormFields trackingFormFor(const SharingModel& share, const QString& message, const QString& from);
    // MD5 (lower-case hex) of the keys in ascending order, each followed by its
    // value, then the shared secret.
    static QString CreateSecretKey(const FormFields& fields);
    // The blocking form post (5-second time-out): the reply body, or none with
    // `error` set. Never call it on the interface thread.
    static std::optional<QByteArray> Post_WithUrl(const QString& url, const FormFields& fields, QString* error);
};
