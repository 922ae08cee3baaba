#include "kits/blackbox/BBXHost.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>

#include "base/Files.h"
#include "kits/blackbox/crashtime/BBXContext.h"
#include "base/Text.h"

namespace {

using base::trim;

std::string unquote(std::string s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) return s.substr(1, s.size() - 2);
    return s;
}

// The value of `key=` in a file of such lines (os-release, cpuinfo with ':').
std::string lookup(const std::string& path, const std::string& key, char separator) {
    auto text = base::readFile(path);
    if (!text) return {};
    std::size_t pos = 0;
    while (pos < text->size()) {
        std::size_t end = text->find('\n', pos);
        if (end == std::string::npos) end = text->size();
        std::string line = text->substr(pos, end - pos);
        pos = end + 1;
        std::size_t sep = line.find(separator);
        if (sep == std::string::npos) continue;
        if (trim(line.substr(0, sep)) == key) return unquote(trim(line.substr(sep + 1)));
    }
    return {};
}

}  // namespace

std::string BBXHostModel() {
    auto name = base::readFile("/sys/class/dmi/id/product_name");
    std::string model = name ? trim(*name) : std::string();
    return model.empty() ? "unknown" : model;
}

std::string BBXHostMachine() {
    struct utsname u;
    if (::uname(&u) != 0) return "(failed)";
    return u.machine;
}

std::string BBXHostCPU() {
    std::string cpu = lookup("/proc/cpuinfo", "model name", ':');
    return cpu.empty() ? "(failed)" : cpu;
}

std::string BBXHostOSBuildVersion() {
    struct utsname u;
    if (::uname(&u) != 0) return {};
    return u.release;
}

std::string BBXHostOSDisplayVersion() {
    std::string version = lookup("/etc/os-release", "VERSION_ID", '=');
    if (version.empty()) version = lookup("/usr/lib/os-release", "VERSION_ID", '=');
    return version;
}

std::string BBXHostLocale() {
    const char* vars[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* var : vars) {
        const char* value = std::getenv(var);
        if (!value || !*value) continue;
        std::string locale = value;
        locale = locale.substr(0, locale.find_first_of(".@"));
        if (!locale.empty()) return locale;
    }
    return "en_US";
}

std::uint32_t BBXHostOSVersionCode() { return 0; }

std::uint64_t BBXHostGetPageSize() {
    long page = ::sysconf(_SC_PAGESIZE);
    if (page > 0) return static_cast<std::uint64_t>(page);
    BBXSDKLog("%s: sysctlbyname failed while trying to get hw.pagesize\n", __func__);
    return 4096;
}

void BBXHostInitialize() {
    if (!bbxContext) return;
    bbxContext->pageSize = BBXHostGetPageSize();
    // The volume whose free space a crash report gives: the documents folder's,
    // or the home folder's when there is no documents folder.
    std::string documents = base::documentsDir();
    if (documents.empty() || ::access(documents.c_str(), F_OK) != 0) documents = base::homeDir();
    bbxContext->documentsDirectory = documents.empty() ? nullptr : BBXContextCopyString(documents.c_str());
}

bool BBXHostRecordInfo(BBXFile* file) {
    if (!BBXFileIsOpen(file)) return false;
    BBXFileWriteSectionStart(file, "host");
    BBXFileWriteHashStart(file);
    auto entry = [&](const char* key, const std::string& value) {
        BBXFileWriteHashEntryNSString(file, key, value.data(), value.size());
    };
    entry("model", BBXHostModel());
    entry("machine", BBXHostMachine());
    entry("cpu", BBXHostCPU());
    entry("os_build_version", BBXHostOSBuildVersion());
    entry("os_display_version", BBXHostOSDisplayVersion());
    entry("platform", "mac");  // the crash service knows this platform name
    entry("locale", BBXHostLocale());
    BBXFileWriteHashEnd(file);
    BBXFileWriteSectionEnd(file);
    return true;
}
