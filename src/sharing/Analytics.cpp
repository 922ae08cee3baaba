#include "sharing/Analytics.h"
#include <nlohmann/json.hpp>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLocale>
#include <QScreen>
#include <QSysInfo>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/AppInfo.h"
#include "base/Files.h"
#include "base/Http.h"
#include "base/Log.h"
#include "base/Plist.h"
#include "core/WrenUtils.h"
#include "sharing/SharingRuntime.h"

namespace {

std::string osReleaseText() {
    auto text = base::readFile("/etc/os-release");
    if (!text) text = base::readFile("/usr/lib/os-release");
    return text.value_or(std::string());
}

QString osReleaseValue(const QString& text, const QString& key) {
    for (const QString& line : text.split('\n')) {
        if (!line.startsWith(key + "=")) continue;
        QString value = line.mid(key.size() + 1).trimmed();
        if (value.size() >= 2 && (value.startsWith('"') || value.startsWith('\'')) && value.endsWith(value[0]))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

QString fieldValue(const HitFields& hit, const QString& key) {
    for (const auto& [k, v] : hit)
        if (k == key) return v;
    return {};
}

nlohmann::json toDictionary(const HitFields& hit) {
    nlohmann::json dict = nlohmann::json::object();
    for (const auto& [k, v] : hit) dict[k.toStdString()] = v.toStdString();
    return dict;
}

std::optional<HitFields> fromDictionary(const nlohmann::json& dict) {
    if (!dict.is_object() || dict.empty()) return std::nullopt;
    HitFields hit;
    for (auto it = dict.begin(); it != dict.end(); ++it) {
        if (it->is_string()) hit.emplaceBack(QString::fromStdString(it.key()), QString::fromStdString(it->get<std::string>()));
        else if (it->is_number_integer()) hit.emplaceBack(QString::fromStdString(it.key()), QString::number(it->get<long long>()));
        else return std::nullopt;
    }
    return hit;
}

}  // namespace

// GoogleTracker ---------------------------------------------------------------

GoogleTracker& GoogleTracker::sharedGoogleTracker() {
    static GoogleTracker* tracker = new GoogleTracker();
    return *tracker;
}

GoogleTracker::GoogleTracker() {
    googleClientID_ = WrenUtils::getUniqueUUID();
    QString machine = QSysInfo::currentCpuArchitecture() == "x86_64" ? QStringLiteral("x86_64")
                                                                      : QSysInfo::currentCpuArchitecture();
    userAgent_ = userAgent(QString::fromStdString(base::AppInfo::shared().shortVersion()),
                           QString::fromStdString(osReleaseText()), machine);
}

QString GoogleTracker::userAgent(const QString& shortVersion, const QString& osReleaseText, const QString& machine) {
    QString name = osReleaseValue(osReleaseText, "NAME");
    if (name.isEmpty()) name = QStringLiteral("Linux");
    QString version = osReleaseValue(osReleaseText, "VERSION_ID");
    QString system = version.isEmpty() ? name : name + " " + version;
    return QStringLiteral("flashwren/%1 (X11; Linux %2; %3)").arg(shortVersion, machine, system);
}

void GoogleTracker::captureScreenSize() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    QScreen* screen = app ? QGuiApplication::primaryScreen() : nullptr;
    if (!screen) return setScreenSize(0, 0);
    QRect frame = screen->geometry();
    setScreenSize(frame.width(), frame.height());
}

void GoogleTracker::setScreenSize(int width, int height) {
    screenWidth_ = width;
    screenHeight_ = height;
}

HitFields GoogleTracker::getBaseParams() const {
    const auto& info = base::AppInfo::shared();
    QString shortVersion = QString::fromStdString(info.shortVersion());
    QString build = QString::fromStdString(info.buildVersion());
    QString language = QLocale::system().uiLanguages().value(0, QStringLiteral("en"));
    return {
        {"v", "1"},
        {"tid", ServiceConfig::value(ServiceConfig::GoogleTrackingID)},
        {"cid", googleClientID_},
        {"ua", userAgent_},
        {"sr", QStringLiteral("%1x%2").arg(screenWidth_.load()).arg(screenHeight_.load())},
        {"an", "com.flashwren.mac"},
        {"aid", "flashwren_mac"},
        {"av", QStringLiteral("%1 (%2)").arg(shortVersion, build)},
        {"ul", language},
    };
}

std::shared_future<void> GoogleTracker::trackeEventWithCategory(const QString& category, const QString& action,
                                                               const QString& label, const QString& value) {
    HitFields hit = getBaseParams();
    hit.emplaceBack("t", "event");
    hit.emplaceBack("ec", category);
    hit.emplaceBack("ea", action);
    if (!label.isEmpty()) hit.emplaceBack("el", label);
    if (!value.isEmpty()) hit.emplaceBack("ev", value);
    return send(std::move(hit));
}

std::shared_future<void> GoogleTracker::trackScreen(const QString& screenName) {
    HitFields hit = getBaseParams();
    hit.emplaceBack("t", "screenview");
    hit.emplaceBack("cd", screenName);
    return send(std::move(hit));
}

std::shared_future<void> GoogleTracker::send(HitFields hit) {
    auto promise = std::make_shared<std::promise<void>>();
    std::shared_future<void> done = promise->get_future().share();
    {
        std::lock_guard lock(pendingMutex_);
        ++pendingHits_;
    }
    SharingRuntime::backgroundExecutor().post([this, hit = std::move(hit), promise] {
        postToGoogleWithParams(hit);
        {
            std::lock_guard lock(pendingMutex_);
            --pendingHits_;
        }
        pendingDone_.notify_all();
        promise->set_value();
    });
    return done;
}

bool GoogleTracker::waitForPendingHits(std::chrono::milliseconds timeout) {
    std::unique_lock lock(pendingMutex_);
    return pendingDone_.wait_for(lock, timeout, [this] { return pendingHits_ == 0; });
}

void GoogleTracker::postToGoogleWithParams(const HitFields& hit) {
    if (!WrenUtils::isInternetRechable()) {
        QString path = storeHit(WrenUtils::getAnalyticsQueueFolderPath(), hit);
        if (path.isEmpty()) spdlog::error("GoogleTracker: could not keep a hit made while offline");
        return;
    }
    // A refused or failed hit is dropped; postToGoogle has logged why.
    postSavedDataToGoogle(hit);
}

bool GoogleTracker::postSavedDataToGoogle(const HitFields& hit) {
    return postToGoogle(joinURL(ServiceConfig::value(ServiceConfig::GoogleAnalyticsURL), QStringLiteral("collect")),
                        hit);
}

bool GoogleTracker::postToGoogle(const QString& url, const HitFields& hit) {
    base::HttpRequest request;
    request.method = "POST";
    request.url = url.toStdString();
    request.timeoutSeconds = 5;
    request.connectTimeoutSeconds = 5;
    request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    request.headers.emplace_back("User-Agent", fieldValue(hit, "ua").toStdString());
    request.body = WrenUtils::encodeDictionary(hit).toStdString();
    base::HttpResponse response = base::httpPerform(request);
    if (response.status == 200) return true;
    spdlog::error("GTError: got status code is ({}) and error is {}", response.status,
                  response.completed() ? std::string("none") : response.error);
    return false;
}

QString GoogleTracker::storeHit(const QString& folder, const HitFields& hit) {
    QDir().mkpath(folder);
    const std::string xml = base::plistToXml(toDictionary(hit));
    // Write a temporary file completely, then link it to its final name: a
    // link never replaces an existing file, so two hits of one millisecond
    // both survive, and a reader never sees half a file.
    std::string tmpl = (folder + "/.hit-XXXXXX").toStdString();
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) {
        spdlog::error("GoogleTracker: cannot write to the queue folder: {}", std::strerror(errno));
        return {};
    }
    bool ok = base::writeFully(fd, xml.data(), xml.size()) == xml.size();
    if (ok && ::fsync(fd) != 0) ok = false;
    ::close(fd);
    QString result;
    if (ok) {
        QString stem = folder + "/" + QString::asprintf("%f", double(QDateTime::currentMSecsSinceEpoch()));
        for (int attempt = 0; attempt < 1000 && result.isEmpty(); ++attempt) {
            QString path = attempt == 0 ? stem + ".plist" : QStringLiteral("%1-%2.plist").arg(stem).arg(attempt);
            if (::link(tmpl.c_str(), path.toStdString().c_str()) == 0) result = path;
            else if (errno != EEXIST) break;
        }
        if (result.isEmpty()) spdlog::error("GoogleTracker: cannot store a hit: {}", std::strerror(errno));
    }
    ::unlink(tmpl.c_str());
    return result;
}

// Analytics -------------------------------------------------------------------

Analytics& Analytics::sharedAnalytics() {
    static Analytics* analytics = new Analytics();
    return *analytics;
}

Analytics::Analytics() {
    GoogleTracker::sharedGoogleTracker().captureScreenSize();
    startTimer();
}

void Analytics::startTimer() {
    std::lock_guard lock(mutex_);
    SharingRuntime::scheduler().cancel(retryAnalyticsDataTimer_);
    retryAnalyticsDataTimer_ = SharingRuntime::scheduler().after(
        kResendInterval, &SharingRuntime::mainExecutor(), [this] { startProcessingWithNewThread(); });
}

bool Analytics::isTimerPending() {
    std::lock_guard lock(mutex_);
    return SharingRuntime::scheduler().isPending(retryAnalyticsDataTimer_);
}

void Analytics::startProcessingWithNewThread() {
    SharingRuntime::backgroundExecutor().post([this] { startUploadingOldAnalyticsData(); });
}

bool Analytics::startUploadingOldAnalyticsData() {
    struct Rearm {
        Analytics* self;
        ~Rearm() { self->startTimer(); }
    } rearm{this};

    if (!WrenUtils::isInternetRechable()) return false;
    const QString folderPath = WrenUtils::getAnalyticsQueueFolderPath();
    QStringList names;
    std::error_code ec;
    std::filesystem::directory_iterator it(folderPath.toStdString(), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        QString name = QString::fromStdString(it->path().filename().string());
        // Only finished hits: the temporary files of a hit being stored are skipped.
        if (name.endsWith(QLatin1String(".plist")) && !name.startsWith('.')) names.append(name);
    }
    if (ec) {
        spdlog::error("AYT: Error in reading files: {}", ec.message());
        return false;
    }
    names.sort();
    QDir folder(folderPath);
    for (const QString& name : names) {
        QString path = folder.filePath(name);
        auto dict = base::plistReadFile(path.toStdString());
        std::optional<HitFields> hit = dict ? fromDictionary(*dict) : std::nullopt;
        if (!hit) {
            spdlog::warn("AYT: removing unreadable queued hit {}", name.toStdString());
            WrenUtils::removeFileAtPath(path);
            continue;
        }
        if (GoogleTracker::sharedGoogleTracker().postSavedDataToGoogle(*hit)) WrenUtils::removeFileAtPath(path);
    }
    return true;
}

void Analytics::trackNewPhotoSession(const QString& name) {
    GoogleTracker::sharedGoogleTracker().trackScreen("Session/Photo/" + name);
}

void Analytics::trackGreenScreen() { GoogleTracker::sharedGoogleTracker().trackScreen(QStringLiteral("Green Screen")); }

void Analytics::trackCapture(const QString& category, const QString& cameraModel) {
    GoogleTracker::sharedGoogleTracker().trackeEventWithCategory(category, QStringLiteral("camera"), cameraModel);
}

void Analytics::trackShare(const QString& serviceName) {
    GoogleTracker::sharedGoogleTracker().trackeEventWithCategory(QStringLiteral("share"), serviceName);
}

void Analytics::trackPrint(const QString& label, int count) {
    GoogleTracker::sharedGoogleTracker().trackeEventWithCategory(QStringLiteral("share"), QStringLiteral("Print"),
                                                                 label, QString::number(count));
}

void Analytics::trackEventWithCategory(const QString& category, const QString& action, const QString& label,
                                       const QString& value) {
    GoogleTracker::sharedGoogleTracker().trackeEventWithCategory(category, action, label, value);
}

void Analytics::trackVideoSession() { GoogleTracker::sharedGoogleTracker().trackScreen(QStringLiteral("Session/Video")); }

void Analytics::trackEffect(const QString& name) {
    GoogleTracker::sharedGoogleTracker().trackeEventWithCategory(QStringLiteral("session"), name, name);
}

void Analytics::trackCrash() {}
