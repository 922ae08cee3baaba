#pragma once
// A full disk, made for real: the test program runs again, narrowed to one
// filter, in a private mount namespace on a small memory disk whose path it
// finds in FLASHWREN_SMALL_DISK.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "TempDir.h"

namespace testsupport {

// Whether the run on a memory disk of `size` ("1m", "40m") passed; nullopt
// where no private mount namespace can be had.
inline std::optional<bool> rerunOnSmallDisk(const std::string& size, const std::string& filter) {
    if (std::system("unshare -rm true >/dev/null 2>&1") != 0) return std::nullopt;
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return false;
    TempDir mountPoint;
    const std::string command = "unshare -rm sh -c 'mount -t tmpfs -o size=" + size +
                                " tmpfs \"$0\" && FLASHWREN_SMALL_DISK=\"$0\" exec \"$1\" --gtest_filter=" + filter +
                                "' '" + mountPoint.path() + "' '" + self + "'";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace testsupport
