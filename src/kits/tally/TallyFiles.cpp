#include "kits/tally/TallyFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace tally {

base::Error posixError(int err, const std::string& what) {
    base::Error e("NSPOSIXErrorDomain", err, what + ": " + std::strerror(err));
    return e;
}

base::Error fsError(const std::error_code& ec, const std::string& what) {
    return base::Error("NSPOSIXErrorDomain", ec.value(), what + ": " + ec.message());
}

bool syncPath(const std::string& path, bool directory) {
    int fd = ::open(path.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace tally
