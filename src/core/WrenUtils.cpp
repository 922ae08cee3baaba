#include "core/WrenUtils.h"
#include <nlohmann/json.hpp>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScreen>
#include <QStorageInfo>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>

#include <ZXing/BarcodeFormat.h>
#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include "base/Crypto.h"
#include "base/Files.h"
#include "base/Http.h"
#include "base/Log.h"
#include "core/MainQueue.h"
#include "core/OnScreenKeyboard.h"
#include "core/OperatorNotice.h"
#include "core/SharingType.h"
#include "core/UserDefaults.h"

namespace {

UserDefaults& defaults() { return UserDefaults::standard(); }

bool wholeMatch(const QString& pattern, const QString& text) {
    // Each thread keeps its own compiled expression.
    thread_local std::map<QString, QRegularExpression> cache;
    auto it = cache.find(pattern);
    if (it == cache.end())
        it = cache.emplace(pattern, QRegularExpression(QRegularExpression::anchoredPattern(pattern))).first;
    return it->second.match(text).hasMatch();
}

std::mutex& firstLaunchMutex() {
    static std::mutex m;
    return m;
}

std::mutex hookMutex;
std::function<void()> clearCookiesHook;

constexpr auto kEverything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

// A folder copy under way: what it has to copy, what it has copied, whom it
// tells, and why it stopped.
struct FolderCopy {
    qint64 total = 0;
    qint64 copied = 0;
    const std::function<bool(qint64, qint64)>* progress = nullptr;
    QString why;
    // Whether the copy may go on with `copied` and `written` more bytes done.
    bool keepGoing(qint64 written = 0) {
        if (!progress || !*progress || (*progress)(copied + written, total)) return true;
        why = QStringLiteral("the copy was stopped");
        return false;
    }
};

// Where a copy is assembled inside the folder it copies into, each item
// moved into place only once whole.
const QString kCopyStaging = QStringLiteral(".flashwren-copying");

// What the copy takes of what stands at `path`: a folder, a regular file or
// a link to one. A named pipe would hang the copy for good, a device could
// feed it without end, a socket holds nothing to copy, and a link to a
// folder could lead back into the copy: they stay behind.
enum class Taken { Folder, File, Nothing };
Taken takenAt(const std::string& path, struct stat* st) {
    if (::lstat(path.c_str(), st) != 0) return Taken::Nothing;
    if (S_ISDIR(st->st_mode)) return Taken::Folder;
    if (S_ISREG(st->st_mode)) return Taken::File;
    if (S_ISLNK(st->st_mode) && ::stat(path.c_str(), st) == 0 && S_ISREG(st->st_mode)) return Taken::File;
    return Taken::Nothing;
}

// The bytes the copy of `path` writes.
qint64 bytesToCopy(const QString& path) {
    struct stat st;
    switch (takenAt(QFile::encodeName(path).toStdString(), &st)) {
    case Taken::File:
        return st.st_size;
    case Taken::Folder: {
        qint64 sum = 0;
        for (const QString& name : QDir(path).entryList(kEverything)) sum += bytesToCopy(path + QLatin1Char('/') + name);
        return sum;
    }
    case Taken::Nothing:
        break;
    }
    return 0;
}

// Carries `from` over to `to`: folders with their modes, and files read
// through a descriptor opened without blocking. What the copy does not take
// stays behind, named in the log; a link to a file gives its file. Stops at
// the first failure, with its reason in `copy.why`.
bool copyRecursively(const QString& from, const QString& to, FolderCopy& copy) {
    const std::string source = QFile::encodeName(from).toStdString();
    struct stat st;
    const Taken taken = takenAt(source, &st);
    if (taken == Taken::Nothing) {
        if (::lstat(source.c_str(), &st) != 0) {
            copy.why = QStringLiteral("%1 cannot be read: %2").arg(from, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        spdlog::warn("WrenUtils: {} was not copied because {}", source,
                     base::whyNotARegularFile(source, false).value_or("it is not a regular file"));
        return true;
    }
    if (taken == Taken::Folder) {
        if (!QDir().mkpath(to)) {
            copy.why = QStringLiteral("the folder %1 cannot be made").arg(to);
            return false;
        }
        for (const QString& name : QDir(from).entryList(kEverything)) {
            if (!copyRecursively(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name, copy)) return false;
        }
        // Given last: a folder without write permission still takes its files.
        ::chmod(QFile::encodeName(to).constData(), st.st_mode & 0777);
        return true;
    }
    std::string why;
    bool stopped = false;
    if (!base::copyRegularFile(source, QFile::encodeName(to).toStdString(), &why, [&](std::uint64_t written) {
            return !(stopped = !copy.keepGoing(static_cast<qint64>(written)));
        })) {
        if (!stopped) copy.why = QStringLiteral("%1 %2").arg(from, QString::fromStdString(why));
        return false;
    }
    copy.copied += st.st_size;
    return copy.keepGoing();
}

// Moves `from` to `to` where nothing stands; false when something does.
bool moveIntoPlace(const QString& from, const QString& to) {
    const QByteArray a = QFile::encodeName(from), b = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A filesystem that takes no flags.
    struct stat st;
    return ::lstat(b.constData(), &st) != 0 && ::rename(a.constData(), b.constData()) == 0;
}

// The canonical form of `path`, which may not exist yet: that of its
// nearest existing folder, with the rest of the path after it.
QString canonicalPath(const QString& path) {
    QString existing = QDir::cleanPath(QDir(path).absolutePath());
    QString rest;
    while (!QFileInfo::exists(existing) && existing != QLatin1String("/")) {
        rest = QLatin1Char('/') + QFileInfo(existing).fileName() + rest;
        existing = QFileInfo(existing).absolutePath();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return (canonical.isEmpty() ? existing : canonical) + rest;
}

}  // namespace

bool WrenUtils::isInternetRechable() { return defaults().string("IS_INTERNET_RECHABLE") == "YES"; }

bool WrenUtils::hasValue(const QVariant& value) {
    if (!value.isValid() || value.isNull()) return false;
    switch (value.typeId()) {
    case QMetaType::QString:
        return !value.toString().isEmpty();
    case QMetaType::QByteArray:
        return !value.toByteArray().isEmpty();
    case QMetaType::QStringList:
    case QMetaType::QVariantList:
        return !value.toList().isEmpty();
    case QMetaType::QVariantMap:
        return !value.toMap().isEmpty();
    case QMetaType::QVariantHash:
        return !value.toHash().isEmpty();
    default:
        return true;
    }
}

bool WrenUtils::NSStringIsValidEmail(const QString& text) {
    return wholeMatch(QStringLiteral("[A-Z0-9a-z\\._%+-]+@([A-Za-z0-9-]+\\.)+[A-Za-z]{2,4}"), text);
}

bool WrenUtils::isValidPhoneNumber(const QString& text) {
    return wholeMatch(QStringLiteral("^[0-9]{6,14}$"), text);
}

bool WrenUtils::isValidImage(const QImage* image) {
    return image && !image->isNull() && image->width() > 0 && image->height() > 0;
}

std::map<int, QString> WrenUtils::getSharingTypeMapping() {
    return {
        {SharingTypeEmail, QStringLiteral("E-mail")},
        {SharingTypeFacebook, QStringLiteral("Facebook")},
        {SharingTypeFacebookPage, QStringLiteral("Facebook Page")},
        {SharingTypeTwitter, QStringLiteral("Twitter")},
        {SharingTypeSMS, QStringLiteral("SMS")},
        {SharingTypePrint, QStringLiteral("Print")},
    };
}

QList<int> WrenUtils::getAllSharingType() { return {0, 4, 2, 1, 3, 7}; }

namespace {
// A few lines in practice; more than this is no folder list.
constexpr off_t kDesktopFolderListLimit = 1 << 20;
}  // namespace

QString WrenUtils::getDataDirectory() {
    QString dir = QString::fromStdString(defaults().string("DATA_DIRECTORY"));
    if (dir.isEmpty()) {
        // Qt reads the desktop's folder list with a blocking open and to its
        // end: a pipe or a device in its place would hang the booth at start.
        QString pictures;
        const std::string folders = base::configHome() + "/user-dirs.dirs";
        struct stat st;
        if (::stat(folders.c_str(), &st) != 0 || (S_ISREG(st.st_mode) && st.st_size <= kDesktopFolderListLimit))
            pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        else
            spdlog::warn("WrenUtils: the desktop's folder list {} is not a plain file of a usual size; the pictures "
                         "folder is taken to be ~/Pictures",
                         folders);
        if (pictures.isEmpty()) pictures = QDir::homePath() + QStringLiteral("/Pictures");
        dir = pictures + QStringLiteral("/flashwren/");
        defaults().set("DATA_DIRECTORY", dir.toStdString());
    }
    if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
    return dir;
}

QString WrenUtils::getIncomingFolderPath() { return getDataDirectory() + QStringLiteral("incoming"); }
QString WrenUtils::getOriginalsFolderPath() { return getDataDirectory() + QStringLiteral("originals"); }
QString WrenUtils::getPrintsFolderPath() { return getDataDirectory() + QStringLiteral("prints"); }
QString WrenUtils::getThumbFolderPath() { return getDataDirectory() + QStringLiteral("prints/thumb"); }
QString WrenUtils::getTemplatesFolderPath() { return getDataDirectory() + QStringLiteral("templates"); }
QString WrenUtils::getGreenScreenFolderPath() { return getDataDirectory() + QStringLiteral("Green Screen"); }
QString WrenUtils::getTempFolderPath() { return getDataDirectory() + QStringLiteral("Temp"); }

bool WrenUtils::createDataSubfolders(QString* problem) {
    // A session cannot work without these ...
    for (const QString& path :
         {getIncomingFolderPath(), getPrintsFolderPath(), getThumbFolderPath(), getTemplatesFolderPath()}) {
        if (!QDir().mkpath(path)) {
            spdlog::error("WrenUtils: unable to create the folder {}", path.toStdString());
            if (problem) *problem = folderProblemMessage(path);
            return false;
        }
    }
    // ... and does without these copies.
    // Said once per folder while the booth runs, not at every session.
    static std::mutex warnedMutex;
    static std::set<QString> warned;
    for (const QString& path : {getOriginalsFolderPath(), getGreenScreenFolderPath(), getTempFolderPath()}) {
        if (QDir().mkpath(path)) continue;
        std::lock_guard lock(warnedMutex);
        if (warned.insert(path).second)
            spdlog::warn("WrenUtils: unable to create the folder {}; going on without it", path.toStdString());
    }
    return true;
}

QString WrenUtils::folderProblemMessage(const QString& folder) {
    if (isDiskFull(folder)) return diskFullMessage(folder);
    // The nearest part of the path that exists tells what is in the way.
    QString existing = QDir::cleanPath(folder);
    while (!existing.isEmpty() && !QFileInfo::exists(existing) && existing != QLatin1String("/"))
        existing = QFileInfo(existing).absolutePath();
    if (QFileInfo(existing).exists() && !QFileInfo(existing).isDir()) {
        return QStringLiteral("Unable to use the data folder: %1 is a file, so the folder %2 cannot be made. "
                              "Please move that file away or choose another data folder in the preferences.")
            .arg(existing, folder);
    }
    return QStringLiteral("Unable to use the data folder: the folder %1 cannot be made in %2. "
                          "Please check that the disk is connected and writable, or choose another data folder "
                          "in the preferences.")
        .arg(folder, existing);
}

namespace {
std::mutex probeMutex;
std::function<qint64(const QString&)> freeSpaceProbe;
}  // namespace

void WrenUtils::setFreeDiskSpaceProbe(std::function<qint64(const QString&)> probe) {
    std::lock_guard lock(probeMutex);
    freeSpaceProbe = std::move(probe);
}

qint64 WrenUtils::freeDiskSpaceAt(const QString& path) {
    {
        std::lock_guard lock(probeMutex);
        if (freeSpaceProbe) return freeSpaceProbe(path);
    }
    QString existing = QDir::cleanPath(path);
    while (!existing.isEmpty() && !QFileInfo::exists(existing) && existing != QLatin1String("/"))
        existing = QFileInfo(existing).absolutePath();
    const QStorageInfo storage(existing);
    if (!storage.isValid() || !storage.isReady()) return -1;
    return storage.bytesAvailable();
}

bool WrenUtils::isDiskFull(const QString& path) {
    const qint64 free = freeDiskSpaceAt(path);
    return free >= 0 && free < kDiskFullBytes;
}

QString WrenUtils::diskFullMessage(const QString& path) {
    return QStringLiteral("The disk is full: there is no room left in %1. "
                          "Please free some space or choose another data folder in the preferences.")
        .arg(path);
}

QString WrenUtils::lowDiskSpaceWarning() {
    const qint64 free = freeDiskSpaceAt(getDataDirectory());
    const qint64 warnBelow = defaults().integer("LOW_DISK_SPACE_WARNING_MB", 200) * 1024 * 1024;
    if (free < 0 || free >= warnBelow) return {};
    return QStringLiteral("Low disk space: only %1 MB free for photos in %2. Please free some space soon.")
        .arg(free / (1024 * 1024))
        .arg(getDataDirectory());
}

void WrenUtils::createDirectoryAtPath(const QString& path) {
    if (path.isEmpty() || !QDir().mkpath(path))
        spdlog::error("WrenUtils: unable to create the folder {}", path.toStdString());
}

bool WrenUtils::copyDirectoryFrom(const QString& source, const QString& destinationDirectory, QString* problem,
                                  const std::function<bool(qint64 copied, qint64 total)>& progress) {
    auto fail = [&](const QString& text) {
        spdlog::error("WrenUtils: {}", text.toStdString());
        if (problem) *problem = text;
        return false;
    };
    if (source.isEmpty() || !QFileInfo(source).isDir()) return true;  // nothing to copy
    if (destinationDirectory.isEmpty()) return fail(QStringLiteral("Unable to copy %1: no folder to copy to.").arg(source));
    // Into itself, the copy would copy its own output again, without end.
    const QString from = canonicalPath(source), to = canonicalPath(destinationDirectory);
    if (to == from || to.startsWith(from + QLatin1Char('/')))
        return fail(QStringLiteral("Unable to copy %1 to %2: it is inside the folder being copied.")
                        .arg(source, destinationDirectory));

    // What the destination has already stays as it is.
    QStringList names;
    FolderCopy copy;
    copy.progress = &progress;
    for (const QString& name : QDir(source).entryList(kEverything)) {
        if (name == kCopyStaging) continue;  // a copy of the source's own that was cut short
        const QString there = destinationDirectory + QLatin1Char('/') + name;
        if (QFileInfo::exists(there) || QFileInfo(there).isSymLink()) continue;
        names << name;
        copy.total += bytesToCopy(source + QLatin1Char('/') + name);
    }
    // Checked first, as a disk filled by the copy would stop the booth's
    // sessions as well; a disk that fills all the same fails the copy.
    const qint64 free = freeDiskSpaceAt(destinationDirectory);
    if (free >= 0 && copy.total > 0 && copy.total > free - kDiskFullBytes) {
        const qint64 MB = 1024 * 1024;
        return fail(QStringLiteral("There is not enough room in %1 for %2: it needs %3 MB, and %4 MB are free of which "
                                   "the booth keeps %5 MB for photos.")
                        .arg(destinationDirectory, source)
                        .arg((copy.total + MB - 1) / MB)
                        .arg(free / MB)
                        .arg(kDiskFullBytes / MB));
    }
    const bool made = !QFileInfo::exists(destinationDirectory);
    if (!QDir().mkpath(destinationDirectory))
        return fail(QStringLiteral("Unable to copy %1: the folder %2 cannot be made.").arg(source, destinationDirectory));
    // Each item is made in a staging folder and moved into place whole: a
    // copy cut short (a quit, a crash, a pulled stick) leaves no half item
    // that the next copy would keep as there already. What such a copy left
    // in the staging folder goes first.
    const QString staging = destinationDirectory + QLatin1Char('/') + kCopyStaging;
    if (QFileInfo::exists(staging) || QFileInfo(staging).isSymLink()) removeFileAtPath(staging);
    QStringList copied;
    for (const QString& name : names) {
        const QString there = destinationDirectory + QLatin1Char('/') + name;
        const QString staged = staging + QLatin1Char('/') + name;
        if (QDir().mkpath(staging) && copyRecursively(source + QLatin1Char('/') + name, staged, copy)) {
            // An item the copy does not take (a named pipe...) left nothing to move.
            const bool left = !QFileInfo::exists(staged) && !QFileInfo(staged).isSymLink();
            if (left || moveIntoPlace(staged, there)) {
                if (!left) copied << name;
                continue;
            }
            copy.why = QStringLiteral("%1 cannot be put in place: %2")
                           .arg(there, QString::fromLocal8Bit(std::strerror(errno)));
        } else if (copy.why.isEmpty()) {
            copy.why = QStringLiteral("the folder %1 cannot be made").arg(staging);
        }
        // A copy that failed takes back what it made: on a full disk, half a
        // copy would only keep the disk full.
        removeFileAtPath(staging);
        for (const QString& entry : copied) removeFileAtPath(destinationDirectory + QLatin1Char('/') + entry);
        if (made) QDir().rmdir(destinationDirectory);
        return fail(QStringLiteral("Unable to copy %1 to %2: %3.").arg(source, destinationDirectory, copy.why));
    }
    if (QFileInfo::exists(staging)) QDir().rmdir(staging);
    return true;
}

void WrenUtils::removeFileAtPath(const QString& path) {
    QFileInfo fi(path);
    bool ok = fi.isDir() && !fi.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path);
    if (!ok) spdlog::error("WrenUtils: unable to remove {}", path.toStdString());
}

void WrenUtils::emptyDirectoryAtPath(const QString& path) {
    QDir dir(path);
    if (path.isEmpty() || !dir.exists()) return;
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        removeFileAtPath(dir.filePath(name));
}

QString WrenUtils::getSerialOrUniqueUserID() {
    std::lock_guard lock(firstLaunchMutex());
    std::string id = defaults().string("unique_random_user_id");
    if (id.empty()) {
        id = std::to_string(QRandomGenerator::system()->bounded(quint64{1000000001}));
        defaults().set("unique_random_user_id", id);
    }
    return QStringLiteral("anon.mac.") + QString::fromStdString(id);
}

QString WrenUtils::getUniqueUUID() {
    std::lock_guard lock(firstLaunchMutex());
    std::string uuid = defaults().string("APP_UUID");
    if (uuid.empty()) {
        uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
        defaults().set("APP_UUID", uuid);
    }
    return QString::fromStdString(uuid);
}

QString WrenUtils::getAnalyticsQueueFolderPath() {
    // Worked out on each call (it is cheap) so that it follows the data home.
    return QString::fromStdString(base::dataHome()) + QStringLiteral("/flashwren/squeue");
}

QByteArray WrenUtils::encodeDictionary(const QList<QPair<QString, QString>>& fields) {
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(static_cast<size_t>(fields.size()));
    for (const auto& f : fields) pairs.emplace_back(f.first.toStdString(), f.second.toStdString());
    return QByteArray::fromStdString(base::formEncode(pairs));
}

std::optional<nlohmann::json> WrenUtils::sendSyncHTTPGetRequestAt(const QString& url, QString* error) {
    base::HttpRequest req;
    req.url = url.toStdString();
    req.timeoutSeconds = 10;
    req.connectTimeoutSeconds = 10;
    auto resp = base::httpPerform(req);
    if (!resp.completed()) {
        if (error) *error = QString::fromStdString(resp.error);
        return std::nullopt;
    }
    auto json = nlohmann::json::parse(resp.body, nullptr, false);
    if (json.is_discarded()) return std::nullopt;
    return json;
}

bool WrenUtils::isVirtualKeyboardInstalled() { return OnScreenKeyboard::isInstalled(); }

bool WrenUtils::selectVirtualKeyboard() {
    return OnScreenKeyboard::select(defaults().boolean("SHOW_VIRTUAL_KEYBOARD"));
}

bool WrenUtils::virtualKeyboardChangeNeedsRestart(bool show) { return OnScreenKeyboard::changeNeedsRestart(show); }

QString WrenUtils::desktopInputMethod() { return OnScreenKeyboard::desktopInputMethod(); }

void WrenUtils::showHideVirtualKeyboard(bool show) {
    runOnMainThread([show] { OnScreenKeyboard::show(show); });
}

void WrenUtils::setClearHTTPCookiesAndCacheHook(std::function<void()> hook) {
    std::lock_guard lock(hookMutex);
    clearCookiesHook = std::move(hook);
}

void WrenUtils::clearHTTPCookiesAndCache() {
    std::function<void()> hook;
    {
        std::lock_guard lock(hookMutex);
        hook = clearCookiesHook;
    }
    if (hook) hook();
    else spdlog::info("WrenUtils: no web profile to clear cookies and cache from");
}

bool WrenUtils::checkIFOpenGLIsSupported() {
    // The keying engine runs on the CPU, so it runs wherever the booth does.
    return true;
}

void WrenUtils::showAlertWithMessage(const QString& message, const QString& informationText, int style) {
    auto show = [=] {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
            spdlog::error("WrenUtils: alert without a window system: {} {}", message.toStdString(),
                          informationText.toStdString());
            return;
        }
        QMessageBox box(style == 2 ? QMessageBox::Critical
                        : style == 1 ? QMessageBox::Information
                                     : QMessageBox::Warning,
                        QCoreApplication::applicationName(), message, QMessageBox::Ok);
        box.setObjectName(QStringLiteral("alert"));
        box.setInformativeText(informationText);
        box.exec();
    };
    auto* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) show();
    else QMetaObject::invokeMethod(app, show, Qt::BlockingQueuedConnection);
}

QImage WrenUtils::qrCodeImage(const QString& text, int size) {
    if (text.isEmpty() || size <= 0) return {};
    ZXing::BitMatrix matrix;
    try {
        ZXing::MultiFormatWriter writer(ZXing::BarcodeFormat::QRCode);
        writer.setEncoding(ZXing::CharacterSet::UTF8).setMargin(1);
        // Encode at the smallest size; scaling below keeps modules crisp.
        matrix = writer.encode(text.toStdWString(), 1, 1);
    } catch (const std::exception& e) {
        spdlog::error("WrenUtils: unable to make a QR code: {}", e.what());
        return {};
    }
    const int w = matrix.width(), h = matrix.height();
    if (w <= 0 || h <= 0) return {};
    QImage image(size, size, QImage::Format_Grayscale8);
    image.fill(255);
    // Whole pixels per module, centred, so that every module has the same size;
    // a size smaller than the code falls back to sampling.
    const int scale = std::min(size / w, size / h);
    const int ox = scale > 0 ? (size - w * scale) / 2 : 0;
    const int oy = scale > 0 ? (size - h * scale) / 2 : 0;
    for (int y = 0; y < size; ++y) {
        uchar* line = image.scanLine(y);
        int my = scale > 0 ? (y - oy) / scale : static_cast<int>(static_cast<long long>(y) * h / size);
        if (y < oy || my >= h) continue;
        for (int x = 0; x < size; ++x) {
            int mx = scale > 0 ? (x - ox) / scale : static_cast<int>(static_cast<long long>(x) * w / size);
            if (x < ox || mx >= w) continue;
            if (matrix.get(mx, my)) line[x] = 0;
        }
    }
    return image;
}

namespace {
std::mutex fileNameMutex;
std::function<qint64()> fileNameClock;
}  // namespace

void WrenUtils::setFileNameClock(std::function<qint64()> msecsSinceEpoch) {
    std::lock_guard lock(fileNameMutex);
    fileNameClock = std::move(msecsSinceEpoch);
}

QString WrenUtils::dateStringForFileName() {
    static qint64 last = 0;
    std::lock_guard lock(fileNameMutex);
    qint64 now = fileNameClock ? fileNameClock() : QDateTime::currentMSecsSinceEpoch();
    if (now <= last) now = last + 1;  // two calls in one millisecond still get two names
    last = now;
    return QDateTime::fromMSecsSinceEpoch(now).toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss-zzz"));
}

bool WrenUtils::setupFoldersAtStartup(QString* problem) {
    const bool ok = createDataSubfolders(problem);
    // Sessions go on without it; the operator is told while it lasts.
    static const QString queueNotice = QStringLiteral("WrenUtils.analyticsQueue");
    const QString queue = getAnalyticsQueueFolderPath();
    if (QDir().mkpath(queue)) {
        OperatorNotice::shared().withdraw(queueNotice);
    } else {
        spdlog::error("WrenUtils: unable to create the analytics queue folder {}", queue.toStdString());
        OperatorNotice::shared().post(queueNotice, analyticsQueueProblemMessage(queue));
    }
    defaults().set("PHOTO_FOLDER_PATH", getPrintsFolderPath().toStdString());
    return ok;
}

QString WrenUtils::analyticsQueueProblemMessage(const QString& queue) {
    QString existing = QDir::cleanPath(queue);
    while (!existing.isEmpty() && !QFileInfo::exists(existing) && existing != QLatin1String("/"))
        existing = QFileInfo(existing).absolutePath();
    if (QFileInfo(existing).exists() && !QFileInfo(existing).isDir()) {
        return QStringLiteral("The analytics queue cannot be written: %1 is a file, so the folder %2 cannot be made. "
                              "Please move that file away and start Flashwren again.")
            .arg(existing, queue);
    }
    return QStringLiteral("The analytics queue cannot be written: the folder %1 cannot be made in %2. "
                          "Please check that %2 is writable and its disk has room, then start Flashwren again.")
        .arg(queue, existing);
}

void WrenUtils::makeFirstLaunchSettings() {
    getSerialOrUniqueUserID();
    getUniqueUUID();
}

QString MD5String(const QString& text) {
    return QString::fromStdString(base::hexEncode(base::md5(text.toStdString()), true));
}

void WrenUtils::centreWindowOnScreen(QWidget* window) {
    if (!window) return;
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    if (!window->testAttribute(Qt::WA_Resized)) window->adjustSize();
    const QSize size = window->size().boundedTo(area.size());
    if (size != window->size()) window->resize(size);
    window->move(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2);
}
