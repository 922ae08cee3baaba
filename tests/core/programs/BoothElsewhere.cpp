// Opens a settings file as a booth in another container does when it starts,
// in a process-number namespace of its own where none of this machine's
// processes can be looked up: booth_elsewhere <file>. Exits 0 once the store
// is open, 77 when no such namespace can be made here. The store is opened by
// a fresh copy of this program (booth_elsewhere --open <file>) started as the
// namespace's first process.
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/UserDefaults.h"

namespace {

bool writeText(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--open") {
        UserDefaults store(argv[2]);
        return store.loadError().empty() ? 0 : 3;
    }
    if (argc != 2) return 2;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWPID) != 0) {
        // Without the power to make one, a user namespace gives it, as the
        // same user.
        if (::unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) return 77;
        if (!writeText("/proc/self/setgroups", "deny") ||
            !writeText("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
            !writeText("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
            return 77;
    }
    // Only a new process enters the namespace; it runs this program afresh
    // rather than going on in a copy of this one.
    const pid_t child = ::fork();
    if (child < 0) return 77;
    if (child == 0) {
        char open[] = "--open";
        char* args[] = {argv[0], open, argv[1], nullptr};
        ::execv("/proc/self/exe", args);
        ::_exit(4);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return 4;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
}
