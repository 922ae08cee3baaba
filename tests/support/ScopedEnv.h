#pragma once
// Sets (or clears) an environment variable for a test's life and puts the old
// value back. Set it before the requests it is meant for start: libcurl reads
// the proxy variables as each transfer begins.
#include <cstdlib>
#include <string>

namespace testsupport {

class ScopedEnv {
public:
    // A null `value` clears the variable.
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old, had_ = true;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_) ::setenv(name_, saved_.c_str(), 1);
        else ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::string saved_;
    bool had_ = false;
};

}  // namespace testsupport
