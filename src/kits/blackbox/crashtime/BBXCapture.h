#pragma once
// Crash capture: signals on the alternate stack, the terminate handler, and
// the common crash-time work that records every thread.
#include <signal.h>
#include <stdint.h>

#include "BBXContext.h"
#include "BBXFile.h"

extern const int BBXHandledSignals[BBXHandledSignalCount];

const char* BBXSignalNameForNumber(int signal);
const char* BBXSignalCodeNameForNumber(int signal);
// The exception-port mask matching a signal (used to leave those to signals).
uint32_t BBXMachExceptionMaskForSignal(int signal);
const char* BBXMachExceptionName(uint32_t exception);
const char* BBXMachExceptionCodeName(uint32_t exception, uint64_t code);
// 1 "objective-c", 2 "c++", 3 "javascript", 4 "custom", else "unknown".
const char* BBXExceptionTypeName(uint32_t type);
// The "mach_exception" record of an exception-port message (type and up to
// two 64-bit codes); there is no exception server on this platform, the
// record is kept for reports that carry one.
void BBXMachExceptionWriteRecord(BBXFile* file, uint32_t exception, const uint64_t* codes, uint32_t codeCount,
                                 uint32_t originalPorts, uint64_t time);
void BBXSignalEnumerateHandledSignals(void (*block)(int position, int signal, void* data), void* data);

// Installs the context's alternate stack on the calling thread.
bool BBXSignalInstallAltStack();
// Installs the handlers for the seven signals and the thread-suspension signal.
bool BBXSignalInitialize(BBXSignalStore* store);
void BBXSignalHandler(int signal, siginfo_t* info, void* context);
// Puts the handlers that were there before the kit back.
bool BBXSignalSafeInstallPreexistingHandlers(BBXSignalStore* store);

// Installs the terminate handler, keeping the one before it.
bool BBXExceptionInitialize(BBXExceptionStore* store, uint32_t* customExceptionsCounter);
void BBXTerminateHandler();
// A crash-type exception (1 or 2): its record and every thread, written on
// the calling thread.
void BBXExceptionRecordCrash(uint32_t type, const char* name, const char* reason);

// The common crash-time work: threads, runtime, queue and thread names,
// process statistics and storage into `file`, then the crash callback.
// `context` is the signal handler's machine context, or null.
void BBXHandler(BBXFile* file, int32_t crashedThread, const void* context);
void BBXHandlerNotifyPotentiallySubmittableCrash();

// The demangled form of a type's mangled name (as typeinfo names it) into
// `out`, without the heap; false when the name is beyond this small reader.
bool BBXDemangleTypeName(const char* mangled, char* out, size_t size);
