#pragma once
// What the kit gives every thread of the program, so that a fault on any of
// them reaches the crash handler:
//  - an alternate signal stack of its own, with a guard page below it, made
//    when the thread starts and freed when it ends (a thread that overflows
//    its stack has nowhere else to run the handler);
//  - the signals a fault raises (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP,
//    SIGSYS) left deliverable: the kernel ends a thread that faults with
//    them blocked without running any handler. Everything else a thread
//    blocks stays blocked.
// Both come from the kit's own pthread_create, pthread_sigmask and
// sigprocmask, which every library of the process calls in place of the C
// library's and which forward to it.

// Looks up the C library's functions now rather than on first use (which
// could be inside a signal handler); links the wrappers into any program
// that starts crash reporting.
void BBXThreadGuardsInstall();
