// Compiled once per variant with VARIANT naming its namespace.
#include "UnwindChain.h"

#include <alloca.h>
#include <stdlib.h>

#define CHAIN_NS_(v) unwind_##v
#define CHAIN_NS(v) CHAIN_NS_(v)

namespace CHAIN_NS(VARIANT) {

// Keeps a call from becoming a jump or a loop.
#define KEEP(x) asm volatile("" : "+r"(x))

__attribute__((noinline, noclone)) int leaf() {
    unwindEntered = 1;
    while (!unwindRelease) {
    }
    return unwindRelease;
}

__attribute__((noinline, noclone)) int withAlloca(int n) {
    char* p = static_cast<char*>(alloca(static_cast<unsigned>(n)));
    p[0] = 1;
    asm volatile("" : : "r"(p) : "memory");
    int r = leaf();
    KEEP(r);
    return r + p[0];
}

__attribute__((noinline, noclone)) int multiExit(int x) {
    if (x & 1) {
        int r = withAlloca(64 + x);
        KEEP(r);
        return r * 3;
    }
    int r = withAlloca(32);
    KEEP(r);
    if (r > 5) return r - 1;
    return r + 2;
}

__attribute__((noinline, noclone)) int deep(int depth) {
    if (depth == 0) {
        int r = multiExit(depth + 1);
        KEEP(r);
        return r + 1;
    }
    int r = deep(depth - 1);
    KEEP(r);
    return r + depth;
}

__attribute__((noinline)) int run(int depth) {
    int r = deep(depth);
    KEEP(r);
    return r;
}

namespace {
int compare(const void* a, const void* b) {
    int r = leaf();
    KEEP(r);
    return *static_cast<const int*>(a) - *static_cast<const int*>(b) + (r & 0);
}
}  // namespace

__attribute__((noinline)) int runQsort() {
    int values[2] = {2, 1};
    qsort(values, 2, sizeof(int), compare);
    int r = values[0];
    KEEP(r);
    return r;
}

__attribute__((noinline)) int spinCallback(void*) {
    int r = leaf();
    KEEP(r);
    return r + 1;
}

const void* withAllocaAddress() { return reinterpret_cast<const void*>(&withAlloca); }

}  // namespace CHAIN_NS(VARIANT)
