// One of the many small libraries a plugin host opens, copied hundreds of
// times by the tests (each copy with its own build-id).
extern "C" __attribute__((visibility("default"), noinline)) int manyLibCrash(int* where) {
    *static_cast<volatile int*>(where) = 1;
    return 0;
}

// Calls back into the host, with this library's frame on the stack below it.
extern "C" __attribute__((visibility("default"), noinline)) int manyLibCall(int (*back)()) {
    volatile int after = back();
    return after + 1;
}
