#pragma once
// Switches the C locale to one a desktop session may set (a Latin-1 one, one
// with a decimal comma), built for the tests with localedef, and puts "C"
// back afterwards. Qt programs take the session's locale at start, so code
// that formats or parses protocol text must give the same bytes under it.
#include <sys/wait.h>

#include <clocale>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "TempDir.h"

namespace testsupport {

class ScopedLocale {
public:
    // `source` and `charmap` as localedef takes them: "de_DE", "UTF-8".
    ScopedLocale(const std::string& source, const std::string& charmap) {
        static std::mutex mutex;
        static TempDir* folder = new TempDir;  // shared by the process's tests; built locales are reused
        static std::map<std::string, bool> built;
        std::string name = source + "." + charmap;
        std::lock_guard lock(mutex);
        auto it = built.find(name);
        if (it == built.end()) {
            std::string command = "localedef -i " + source + " -f " + charmap + " '" + folder->path() + "/" + name +
                                  "' >/dev/null 2>&1";
            int rc = std::system(command.c_str());
            it = built.emplace(name, rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0).first;
        }
        if (!it->second) return;
        ::setenv("LOCPATH", folder->path().c_str(), 1);
        ok_ = std::setlocale(LC_ALL, name.c_str()) != nullptr;
    }
    ~ScopedLocale() {
        std::setlocale(LC_ALL, "C");
        ::unsetenv("LOCPATH");
    }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

}  // namespace testsupport
