#include "booth/SingleBooth.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>

#include "base/Files.h"
#include "base/Log.h"

namespace {
const QByteArray kRaise = QByteArrayLiteral("raise\n");
// What the running booth says once its window has come forward.
const QByteArray kRaised = QByteArrayLiteral("raised\n");
}

SingleBooth::SingleBooth(QObject* parent) : QObject(parent) {}

SingleBooth::~SingleBooth() = default;

QString SingleBooth::defaultFolder() {
    return QString::fromStdString(base::dataHome()) + QStringLiteral("/Flashwren");
}

QString SingleBooth::serverName(const QString& folder) {
    // Socket names live in one shared folder: the user and the booth's own
    // folder make them unique.
    const QByteArray hash =
        QCryptographicHash::hash(QDir(folder).absolutePath().toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return QStringLiteral("flashwren-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

// Only a regular file is handed to the lock: reading or opening a named
// pipe blocks, a link to a device feeds bytes without end, and a folder or
// a link loop can be neither read nor removed, which would refuse every
// launch as if a booth were running. Whatever stands there instead is set
// aside. False when it cannot be.
bool SingleBooth::setAsideUnlessAFile(const QString& path) {
    const std::string file = QFile::encodeName(path).toStdString();
    const auto why = base::whyNotARegularFile(file, false);
    if (!why) return true;
    const std::string aside = base::setAside(file);
    if (aside.empty()) {
        spdlog::error("SingleBooth: the lock file {} cannot be used because {}, and it cannot be set aside", file, *why);
        return false;
    }
    spdlog::warn("SingleBooth: the lock file {} was set aside as {} because {}", file, aside, *why);
    return true;
}

// A lock file that names no process (a booth killed between making it and
// writing it leaves it empty) is judged by the lock every booth holds on its
// lock file for as long as it runs: when nobody holds that, nobody runs, and
// the file goes at once rather than when it has grown old.
bool SingleBooth::removeOwnerlessLock(const QString& path) {
    const std::string file = QFile::encodeName(path).toStdString();
    // A booth writes its lock file a moment after making it.
    constexpr auto kWritten = std::chrono::seconds(1);
    for (int look = 0; look < 2; ++look) {
        qint64 pid = 0;
        QString host, application;
        if (QLockFile(path).getLockInfo(&pid, &host, &application)) return false;
        const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT;  // gone already: try again
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{fd};
        struct stat opened, named;
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) return false;
        const auto changed = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(opened.st_ctim.tv_sec) + std::chrono::nanoseconds(opened.st_ctim.tv_nsec)));
        const auto age = std::chrono::system_clock::now() - changed;
        if (look == 0 && age >= std::chrono::system_clock::duration::zero() && age < kWritten) {
            spdlog::info("SingleBooth: the lock file {} names no process yet; looking again in a moment", file);
            std::this_thread::sleep_for(kWritten - age);
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;  // a booth holds it
        if (::stat(file.c_str(), &named) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
            return false;
        if (::unlink(file.c_str()) != 0) return false;
        spdlog::warn("SingleBooth: the lock file {} names no process and no booth holds it: removed", file);
        return true;
    }
    return false;
}

bool SingleBooth::askRunningBooth(const QString& name) {
    // The booth that holds the lock listens a moment after taking it, and
    // answers once it has come forward. The system takes the connection and
    // the request on a booth's behalf even while its interface thread is
    // stuck: only the booth's own answer says it came forward.
    const auto deadline = std::chrono::steady_clock::now() + kAnswerTime;
    const auto left = [deadline] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::int64_t>(ms.count(), 0));
    };
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(name);
        if (socket.waitForConnected(left())) break;
        if (left() == 0) {
            spdlog::warn("SingleBooth: the running booth does not answer: {}", socket.errorString().toStdString());
            return false;
        }
        socket.abort();
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(100), std::chrono::milliseconds(left())));
    }
    socket.write(kRaise);
    while (!socket.canReadLine()) {
        if (left() == 0 || !socket.waitForReadyRead(left())) {
            spdlog::warn("SingleBooth: the running booth took the request but gave no answer (waited up to {} s)",
                         std::chrono::duration_cast<std::chrono::seconds>(kAnswerTime).count());
            return false;
        }
    }
    if (socket.readLine(64) != kRaised) {
        spdlog::warn("SingleBooth: what listens for later launches gave an answer no booth gives");
        return false;
    }
    return true;
}

bool SingleBooth::acquire(const QString& folder) {
    broughtForward_ = false;
    if (!QDir().mkpath(folder)) spdlog::warn("SingleBooth: unable to create {}", folder.toStdString());
    const QString name = serverName(folder);
    const QString path = folder + QStringLiteral("/flashwren.lock");
    // The lock also makes a second lock file of this name while it removes
    // a stale one.
    if (!setAsideUnlessAFile(path) || !setAsideUnlessAFile(path + QStringLiteral(".rmlock"))) {
        spdlog::warn("SingleBooth: running without the lock of {}", folder.toStdString());
        return true;
    }
    lock_ = std::make_unique<QLockFile>(path);
    // A lock whose owner can be looked up (this machine's, written whole) is
    // stale once that owner has gone, however old it is. One that cannot be
    // (written on another machine, say before a reinstall) would otherwise
    // keep every launch from starting for ever: it is stale once it is
    // older than this.
    lock_->setStaleLockTime(kStaleLockTime);
    bool locked = lock_->tryLock(0);
    if (!locked && lock_->error() == QLockFile::LockFailedError && removeOwnerlessLock(path)) locked = lock_->tryLock(0);
    if (!locked) {
        if (lock_->error() != QLockFile::LockFailedError) {
            // The lock cannot be written (a read-only folder): running anyway
            // beats refusing to run.
            spdlog::warn("SingleBooth: unable to write the lock file in {}", folder.toStdString());
            lock_.reset();
            return true;
        }
        lock_.reset();
        broughtForward_ = askRunningBooth(name);
        return false;
    }
    // The lock is ours: a socket left behind by a booth that died is stale.
    QLocalServer::removeServer(name);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name)) {
        spdlog::warn("SingleBooth: unable to listen for later launches: {}", server_->errorString().toStdString());
        return true;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) return;
                const QByteArray line = socket->readLine();
                if (line == kRaise) {
                    emit activationRequested();
                    // Only now: the launch that asked counts this alone as
                    // an answer. What is written goes before the connection
                    // closes.
                    socket->write(kRaised);
                }
                socket->disconnectFromServer();
            });
        }
    });
    return true;
}
