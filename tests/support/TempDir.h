#pragma once
#include <string>

namespace testsupport {

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Points HOME and the XDG variables at a temporary folder for the test's life,
// so nothing a test does reaches the real user's files.
class ScopedHome {
public:
    ScopedHome();
    ~ScopedHome();
    const std::string& path() const { return dir_.path(); }

private:
    TempDir dir_;
    std::string saved_[5];
    bool had_[5] = {};
};

}  // namespace testsupport
