#pragma once
// The dying process: its threads, their registers and its figures.
#include <stdint.h>

#include "BBXContext.h"

// True when a tracer (a debugger) is attached to this process.
bool BBXProcessDebuggerAttached();
