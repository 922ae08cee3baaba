#include "RenameShim.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

extern "C" int __real_renameat2(int olddirfd, const char* from, int newdirfd, const char* to, unsigned flags);

namespace testsupport {
namespace {

std::mutex hookMutex;
RenameHook& hookStorage() {
    static RenameHook hook;
    return hook;
}

}  // namespace

void setRenameHook(RenameHook hook) {
    std::lock_guard lock(hookMutex);
    hookStorage() = std::move(hook);
}

int renameThrough(const char* from, const char* to, unsigned flags) {
    if (flags != 0 && std::getenv("BBX_TEST_RENAME_FLAGS_REFUSED")) {
        errno = EINVAL;
        return -1;
    }
    return __real_renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
}

}  // namespace testsupport

extern "C" int __wrap_renameat2(int olddirfd, const char* from, int newdirfd, const char* to, unsigned flags) {
    if (olddirfd != AT_FDCWD || newdirfd != AT_FDCWD) return __real_renameat2(olddirfd, from, newdirfd, to, flags);
    testsupport::RenameHook hook;
    {
        // Copied out: a hook may rename again itself.
        std::lock_guard lock(testsupport::hookMutex);
        hook = testsupport::hookStorage();
    }
    if (hook) {
        if (auto answer = hook(from, to, flags)) return *answer;
    }
    return testsupport::renameThrough(from, to, flags);
}
