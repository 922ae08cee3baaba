// The program's dlopen and dlclose pass through here, so the image records
// follow every plugin as it comes and goes instead of waiting for the scan
// of a crash (which never sees an image unloaded before it).
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kits/blackbox/BBXBinaryImages.h"

namespace {

using OpenFunction = void* (*)(const char*, int);
using CloseFunction = int (*)(void*);

OpenFunction realOpen() {
    static OpenFunction open = reinterpret_cast<OpenFunction>(::dlsym(RTLD_NEXT, "dlopen"));
    return open;
}

CloseFunction realClose() {
    static CloseFunction close = reinterpret_cast<CloseFunction>(::dlsym(RTLD_NEXT, "dlclose"));
    return close;
}

// The loader counts every image it adds and removes; a call that changed
// neither count (a library already open) needs no scan.
struct LoaderCounts {
    unsigned long long adds = 0, subs = 0;
    bool operator==(const LoaderCounts&) const = default;
};

int firstImage(struct dl_phdr_info* info, std::size_t size, void* data) {
    auto* counts = static_cast<LoaderCounts*>(data);
    if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
        counts->adds = info->dlpi_adds;
        counts->subs = info->dlpi_subs;
    }
    return 1;
}

LoaderCounts loaderCounts() {
    LoaderCounts counts;
    ::dl_iterate_phdr(firstImage, &counts);
    return counts;
}

void recordChanges(const LoaderCounts& before) {
    if (loaderCounts() == before) return;
    const int saved = errno;
    BBXBinaryImageRescan();
    errno = saved;
}

bool hasOwnSearchPath(const struct link_map* map) {
    for (const ElfW(Dyn)* d = map ? map->l_ld : nullptr; d && d->d_tag != DT_NULL; ++d)
        if (d->d_tag == DT_RUNPATH || d->d_tag == DT_RPATH) return true;
    return false;
}

std::vector<std::string> searchPath(void* handle) {
    Dl_serinfo size{};
    if (::dlinfo(handle, RTLD_DI_SERINFOSIZE, &size) != 0 || size.dls_size < sizeof(Dl_serinfo)) return {};
    std::vector<char> buffer(size.dls_size);
    auto* info = reinterpret_cast<Dl_serinfo*>(buffer.data());
    std::memcpy(info, &size, sizeof size);
    if (::dlinfo(handle, RTLD_DI_SERINFO, info) != 0) return {};
    std::vector<std::string> folders;
    for (unsigned i = 0; i < info->dls_cnt; ++i) folders.emplace_back(info->dls_serpath[i].dls_name);
    return folders;
}

// A name that says "$ORIGIN" means the caller's folder, not ours.
std::string withCallerOrigin(const char* file, const struct link_map* callerMap) {
    if (!callerMap->l_name || !callerMap->l_name[0]) return {};  // the program: the same folder as ours
    char* resolved = ::realpath(callerMap->l_name, nullptr);
    if (!resolved) return {};
    std::string origin(resolved);
    std::free(resolved);
    origin.erase(origin.find_last_of('/'));
    std::string path(file);
    for (const char* token : {"${ORIGIN}", "$ORIGIN"}) {
        for (auto at = path.find(token); at != std::string::npos; at = path.find(token, at + origin.size()))
            path.replace(at, std::strlen(token), origin);
    }
    return path;
}

// The loader searches a bare name along the folders of the object that asks
// for it, and reads "$ORIGIN" as that object's folder. Passing through here
// makes this program the one that asks. So "$ORIGIN" is spelt out for the
// real caller, and where the caller carries search folders of its own (a
// library's RUNPATH) and the library is found first in one of those, it is
// opened by that path: the caller gets the library it would have got
// without us.
std::string pathAsSeenBy(const void* caller, const char* file) {
    if (!file || !caller) return {};
    const bool bare = !std::strchr(file, '/'), origin = std::strstr(file, "ORIGIN") != nullptr;
    if (!bare && !origin) return {};
    Dl_info info{};
    struct link_map* callerMap = nullptr;
    if (!::dladdr1(caller, &info, reinterpret_cast<void**>(&callerMap), RTLD_DL_LINKMAP) || !callerMap) return {};
    struct link_map* ownMap = nullptr;
    if (!::dladdr1(reinterpret_cast<const void*>(&realOpen), &info, reinterpret_cast<void**>(&ownMap),
                   RTLD_DL_LINKMAP) ||
        ownMap == callerMap)
        return {};
    if (!bare) return withCallerOrigin(file, callerMap);
    if (!hasOwnSearchPath(callerMap)) return {};
    // Already open under that name: the search does not happen at all.
    if (void* open = realOpen()(file, RTLD_LAZY | RTLD_NOLOAD)) {
        realClose()(open);
        return {};
    }
    const auto own = searchPath(ownMap);
    for (const auto& folder : searchPath(callerMap)) {
        const std::string candidate = folder + "/" + file;
        struct stat st;
        if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        for (const auto& shared : own)
            if (shared == folder) return {};  // found where our own search finds it too
        return candidate;
    }
    return {};
}

}  // namespace

extern "C" {

__attribute__((visibility("default"), noinline)) void* dlopen(const char* file, int mode) {
    OpenFunction open = realOpen();
    if (!open) return nullptr;
    const std::string path = pathAsSeenBy(__builtin_extract_return_addr(__builtin_return_address(0)), file);
    const LoaderCounts before = loaderCounts();
    void* handle = open(path.empty() ? file : path.c_str(), mode);
    if (handle) recordChanges(before);
    return handle;
}

__attribute__((visibility("default"), noinline)) int dlclose(void* handle) {
    CloseFunction close = realClose();
    if (!close) return -1;
    const LoaderCounts before = loaderCounts();
    const int result = close(handle);
    if (result == 0) recordChanges(before);
    return result;
}

}  // extern "C"

// Referenced from the image set-up so that a program linking the kit always
// carries these two.
void BBXBinaryImageWatchLoaderCalls() {}
