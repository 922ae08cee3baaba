#pragma once
// Call chains built several ways (optimisation, frame pointers, unwind
// tables) whose innermost function spins until a test releases it.
extern "C" {
extern volatile int unwindEntered;
extern volatile int unwindRelease;
}

#define UNWIND_CHAIN_DECLARE(ns)            \
    namespace ns {                          \
    int run(int depth);                     \
    int runQsort();                         \
    int spinCallback(void*);                \
    const void* withAllocaAddress();        \
    }

UNWIND_CHAIN_DECLARE(unwind_O0)
UNWIND_CHAIN_DECLARE(unwind_O2fp)
UNWIND_CHAIN_DECLARE(unwind_O2)
UNWIND_CHAIN_DECLARE(unwind_O2noeh)
