#include "TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "flashwren-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {
const char* kVars[5] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_DOCUMENTS_DIR"};
}

ScopedHome::ScopedHome() {
    for (int i = 0; i < 5; ++i) {
        if (const char* v = std::getenv(kVars[i])) {
            saved_[i] = v;
            had_[i] = true;
        }
    }
    ::setenv("HOME", dir_.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_.path() + "/.config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir_.path() + "/.local/share").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (dir_.path() + "/.cache").c_str(), 1);
    ::unsetenv("XDG_DOCUMENTS_DIR");
}

ScopedHome::~ScopedHome() {
    for (int i = 0; i < 5; ++i) {
        if (had_[i]) ::setenv(kVars[i], saved_[i].c_str(), 1);
        else ::unsetenv(kVars[i]);
    }
}

}  // namespace testsupport
