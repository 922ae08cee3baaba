// The single-instance lock and socket belong to the user who runs the booth:
// no other user of the machine can ask it to come forward, whatever the
// desktop's umask.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QLockFile>

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "BoothTestApp.h"
#include "LogCapture.h"
#include "TempDir.h"
#include "Wait.h"
#include "base/Files.h"
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

// A lock file that names nobody yet may be a booth's, made a moment ago and
// about to be written: the launch looks at it again once the booth has had
// that moment, finds it named, and leaves it to its booth.
TEST(SingleBooth, ALockJustMadeIsGivenItsMomentBeforeItCountsAsLeftBehind) {
    app();
    testsupport::TempDir folder, elsewhere;
    // What a booth writes into its lock: here naming this process, alive.
    std::string content;
    {
        QLockFile named(QString::fromStdString(elsewhere.file("named.lock")));
        ASSERT_TRUE(named.tryLock(0));
        content = base::readFile(elsewhere.file("named.lock")).value_or("");
        ASSERT_FALSE(content.empty());
    }
    const std::string path = folder.path() + "/flashwren.lock";
    const int made = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(made, 0) << std::strerror(errno);
    testsupport::LogCapture log;
    std::atomic<bool> over{false};
    // The booth writes its lock once the launch has had its first look.
    std::thread booth([&] {
        if (testsupport::waitUntil([&] { return over || !log.lines("looking again").empty(); }) && !over) {
            EXPECT_EQ(base::writeFully(made, content.data(), content.size()), content.size());
        }
    });
    SingleBooth launch;
    const bool acquired = launch.acquire(QString::fromStdString(folder.path()));
    over = true;
    booth.join();
    ::close(made);
    EXPECT_FALSE(acquired) << "the booth's lock was taken for one left behind";
    EXPECT_EQ(base::readFile(path).value_or("(gone)"), content) << "its lock stays as it wrote it";
}
