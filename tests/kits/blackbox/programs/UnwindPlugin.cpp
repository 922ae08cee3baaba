// A library the unwinding tests open after start.
extern "C" __attribute__((visibility("default"))) int plugin_call(int (*callback)(void*), void* argument) {
    int r = callback(argument);
    asm volatile("" : "+r"(r));
    return r * 2;
}
