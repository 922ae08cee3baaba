// The single-instance lock and socket belong to the user who runs the booth:
// no other user of the machine can ask it to come forward, whatever the
// desktop's umask.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QDir>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "BoothTestApp.h"
#include "TempDir.h"
#include "booth/SingleBooth.h"

namespace {

// Whether a process running as `uid` can connect to the socket at `path`.
bool otherUserConnects(const std::string& path, uid_t uid) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(2);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::_exit(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "could not become user " << uid;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(SingleBooth, TheLockAndTheSocketAreTheUsersOwn) {
    app();
    testsupport::TempDir folder, sockets;
    ASSERT_EQ(::chmod(sockets.path().c_str(), 0777), 0);  // a shared temporary folder
    const bool hadTmp = qEnvironmentVariableIsSet("TMPDIR");
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString(sockets.path()));
    const mode_t oldMask = ::umask(0);  // the most permissive desktop
    SingleBooth booth;
    const bool acquired = booth.acquire(QString::fromStdString(folder.path()));
    ::umask(oldMask);
    // An empty TMPDIR is not an unset one: the tests after this one would
    // find no temporary folder.
    if (hadTmp) qputenv("TMPDIR", oldTmp);
    else qunsetenv("TMPDIR");
    ASSERT_TRUE(acquired);

    struct stat lock {};
    ASSERT_EQ(::stat((folder.path() + "/flashwren.lock").c_str(), &lock), 0) << "the lock is in the booth's folder";
    EXPECT_EQ(lock.st_uid, ::geteuid());

    const QStringList entries = QDir(QString::fromStdString(sockets.path())).entryList(QDir::System | QDir::NoDotAndDotDot);
    ASSERT_EQ(entries.size(), 1) << entries.join(", ").toStdString();
    const std::string socketPath = sockets.path() + "/" + entries[0].toStdString();
    struct stat socket {};
    ASSERT_EQ(::stat(socketPath.c_str(), &socket), 0);
    EXPECT_TRUE(S_ISSOCK(socket.st_mode));
    EXPECT_EQ(socket.st_uid, ::geteuid());
    EXPECT_EQ(socket.st_mode & 077, 0u) << std::oct << (socket.st_mode & 0777);

    if (::geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
    EXPECT_FALSE(otherUserConnects(socketPath, 65534)) << "another user reached the booth's socket";
}
