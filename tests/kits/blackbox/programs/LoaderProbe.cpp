// Has a library open another by name; prints "opened <real path>" or "failed
// <error>". Built with the crash kit started, and without the kit (the C
// library's answer). Usage: loader_probe <report folder> <library> <name>
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>

#ifdef LOADER_PROBE_WITH_KIT
#include "kits/blackbox/BBXContextSetup.h"
#endif

int main(int argc, char** argv) {
    if (argc != 4) return 2;
#ifdef LOADER_PROBE_WITH_KIT
    BBXContextInitData input;
    input.apiKey = "0123456789abcdef0123456789abcdef01234567";
    input.reportPath = argv[1];
    input.sessionId = "probe-session";
    input.installId = "install";
    BBXContextInitialize(&input);
    BBXBinaryImagesQueue().drain();
#endif
    void* caller = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    auto open = caller ? reinterpret_cast<void* (*)(const char*)>(dlsym(caller, "loaderCallerOpen")) : nullptr;
    if (!open) return 3;
    void* handle = open(argv[3]);
    struct link_map* map = nullptr;
    if (!handle || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) {
        const char* error = dlerror();
        std::printf("failed %s\n", error ? error : "");
        return 0;
    }
    char* path = realpath(map->l_name, nullptr);
    std::printf("opened %s\n", path ? path : map->l_name);
    std::free(path);
    return 0;
}
