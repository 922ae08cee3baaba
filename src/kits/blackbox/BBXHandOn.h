#pragma once
// Where the kit's own definitions of C library functions (its thread,
// signal-mask and loader wrappers) hand each call on.
#include <dlfcn.h>

// A sanitizer runtime linked statically into the program defines these names
// itself, as weak aliases of its interceptors. Ours, being strong, take their
// place, and the next definition after the program is then the C library's:
// handing on there would hide every thread, mask change and library from the
// sanitizer. So its interceptor comes first when there is one. Looked up once
// and kept in `slot`; safe to call from a signal handler after that.
template <typename Function>
Function BBXHandOnTo(Function* slot, Function interceptor, const char* name) {
    Function function = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!function) {
        function = interceptor ? interceptor : reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
        __atomic_store_n(slot, function, __ATOMIC_RELEASE);
    }
    return function;
}
