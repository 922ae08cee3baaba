// A library that opens others by a bare name along its own RUNPATH, or by a
// path below its own folder.
#include <dlfcn.h>

extern "C" __attribute__((visibility("default"))) void* loaderCallerOpen(const char* name) {
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}
