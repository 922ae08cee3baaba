// The program's dlopen and dlclose pass through here, so the image records
// follow every plugin as it comes and goes instead of waiting for the scan
// of a crash (which never sees an image unloaded before it).
//
// The loader decides what a dlopen opens from the object that called it: the
// search folders of that object (and of the objects that loaded it), its
// "$ORIGIN", its namespace, and the loader chain the new object inherits. It
// finds that object from dlopen's return address. So our dlopen leaves no
// trace of itself: it records what changed since the last call, then jumps
// into the loader's dlopen with the caller's own return address in place,
// and the loader alone searches, exactly as it would without the kit. The
// image that call opens is taken in by the next dlopen or dlclose, a recorded
// error or custom exception, or the crash path's scan of the loader's list,
// whichever comes first.
//
// The jump is written in x86-64 assembly: a plain C++ wrapper would make the
// kit the caller of every dlopen and change what libraries open, so another
// architecture needs its own version of these few instructions.
#if !defined(__x86_64__)
#error "The crash kit's dlopen is written for x86-64 only: port its assembly to this architecture."
#endif
#include <dlfcn.h>

#include <cerrno>

#include "kits/blackbox/BBXBinaryImages.h"
#include "kits/blackbox/BBXHandOn.h"

using OpenFunction = void* (*)(const char*, int);
using CloseFunction = int (*)(void*);

extern "C" {
void* __interceptor_dlopen(const char*, int) __attribute__((weak));
int __interceptor_dlclose(void*) __attribute__((weak));
}

namespace {

OpenFunction nextOpen;
CloseFunction nextClose;

void recordChanges() {
    const int saved = errno;
    BBXBinaryImageRescan();
    errno = saved;
}

}  // namespace

extern "C" {

// Called by dlopen below with the caller's arguments saved: the loader's
// dlopen to jump to (null: there is none, and dlopen returns null).
__attribute__((visibility("hidden"), used)) OpenFunction bbxLoaderCallsBeforeOpen() {
    recordChanges();
    return BBXHandOnTo(&nextOpen, __interceptor_dlopen, "dlopen");
}

// dlopen(file, mode): keeps the two arguments across the call above, with the
// stack aligned for it, then jumps with the caller's return address on top.
asm(R"(
    .text
    .globl dlopen
    .type dlopen, @function
    .p2align 4
dlopen:
    .cfi_startproc
    endbr64
    push %rdi
    .cfi_adjust_cfa_offset 8
    push %rsi
    .cfi_adjust_cfa_offset 8
    sub $8, %rsp
    .cfi_adjust_cfa_offset 8
    call bbxLoaderCallsBeforeOpen
    add $8, %rsp
    .cfi_adjust_cfa_offset -8
    pop %rsi
    .cfi_adjust_cfa_offset -8
    pop %rdi
    .cfi_adjust_cfa_offset -8
    test %rax, %rax
    jz 1f
    jmp *%rax
1:
    ret
    .cfi_endproc
    .size dlopen, .-dlopen
)");

// The loader does not look at dlclose's caller: this one may run code after.
__attribute__((visibility("default"), noinline)) int dlclose(void* handle) {
    CloseFunction close = BBXHandOnTo(&nextClose, __interceptor_dlclose, "dlclose");
    if (!close) return -1;
    // An image opened since the last call is recorded before it can go.
    recordChanges();
    const int result = close(handle);
    recordChanges();
    return result;
}

}  // extern "C"

// Referenced from the image set-up so that a program linking the kit always
// carries these two.
void BBXBinaryImageWatchLoaderCalls() {}
