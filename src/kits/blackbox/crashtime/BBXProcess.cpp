#include "BBXProcess.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// Reads a small file whole into `buffer` (terminated); false when unreadable.
bool readSmallFile(const char* path, char* buffer, size_t size) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t used = 0;
    while (used + 1 < size) {
        ssize_t n = ::read(fd, buffer + used, size - 1 - used);
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    buffer[used] = 0;
    return true;
}

}  // namespace

bool BBXProcessDebuggerAttached() {
    char status[4096];
    if (!readSmallFile("/proc/self/status", status, sizeof status)) {
        BBXSDKLog("%s: sysctl failed while trying to get kinfo_proc\n", __func__);
        return false;
    }
    static const char key[] = "TracerPid:";
    for (const char* p = status; *p; ++p) {
        if (p != status && p[-1] != '\n') continue;
        size_t i = 0;
        while (key[i] && p[i] == key[i]) ++i;
        if (key[i]) continue;
        p += i;
        while (*p == ' ' || *p == '\t') ++p;
        return *p >= '1' && *p <= '9';
    }
    return false;
}
