#include "booth/SingleBooth.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

#include "base/Files.h"
#include "base/Log.h"

namespace {
const QByteArray kRaise = QByteArrayLiteral("raise\n");
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

bool SingleBooth::acquire(const QString& folder) {
    if (!QDir().mkpath(folder)) spdlog::warn("SingleBooth: unable to create {}", folder.toStdString());
    const QString name = serverName(folder);
    lock_ = std::make_unique<QLockFile>(folder + QStringLiteral("/flashwren.lock"));
    // A lock whose owner can be looked up (this machine's, written whole) is
    // stale once that owner has gone, however old it is. One that cannot be
    // (cut short by a power cut as it was written, or written on another
    // machine, say before a reinstall) would otherwise keep every launch
    // from starting for ever: it is stale once it is older than this.
    lock_->setStaleLockTime(kStaleLockTime);
    if (!lock_->tryLock(0)) {
        if (lock_->error() != QLockFile::LockFailedError) {
            // The lock cannot be written (a read-only folder): running anyway
            // beats refusing to run.
            spdlog::warn("SingleBooth: unable to write the lock file in {}", folder.toStdString());
            lock_.reset();
            return true;
        }
        lock_.reset();
        QLocalSocket socket;
        socket.connectToServer(name);
        if (socket.waitForConnected(2000)) {
            socket.write(kRaise);
            socket.waitForBytesWritten(2000);
            // Wait for the running booth to close the connection, so that the
            // request is read before this process goes.
            socket.waitForDisconnected(2000);
        } else {
            spdlog::warn("SingleBooth: the running booth does not answer: {}", socket.errorString().toStdString());
        }
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
                if (line == kRaise) emit activationRequested();
                socket->disconnectFromServer();
            });
        }
    });
    return true;
}
