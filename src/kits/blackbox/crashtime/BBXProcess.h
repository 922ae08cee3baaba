#pragma once
// The dying process: its threads, their registers and its figures.
#include <stdint.h>

#include "BBXContext.h"

// The registers a signal handler receives (a ucontext_t*).
void BBXThreadStateFromUContext(const void* ucontext, BBXThreadState* state);

// True when a tracer (a debugger) is attached to this process.
bool BBXProcessDebuggerAttached();
