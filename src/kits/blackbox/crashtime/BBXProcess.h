#pragma once
// The dying process: its threads, their registers and its figures.
#include <signal.h>
#include <stdint.h>

#include "BBXContext.h"

// The registers a signal handler receives (a ucontext_t*).
void BBXThreadStateFromUContext(const void* ucontext, BBXThreadState* state);

// True when a tracer (a debugger) is attached to this process.
bool BBXProcessDebuggerAttached();

constexpr int BBXProcessMaxThreads = BBXMaxSuspendedThreads;

// One crash-time pass over the process.
struct BBXProcess {
    int32_t pid;
    int32_t recordingThread;
    int32_t crashedThread;
    const void* machineContext;  // the crashed thread's ucontext, or null
    int32_t threads[BBXProcessMaxThreads];
    uint32_t threadCount;
    BBXThreadState recordingState;  // the recording thread's own registers
};

// Lists the process's threads (from /proc/self/task).
bool BBXProcessInit(BBXProcess* process, int32_t crashedThread, const void* machineContext);
void BBXProcessDestroy(BBXProcess* process);
// Parks every other thread in the suspension signal's handler, which copies
// its registers out; waits at most `timeoutMs` in all for them.
bool BBXProcessSuspendAllOtherThreads(BBXProcess* process, uint32_t timeoutMs);
bool BBXProcessResumeAllOtherThreads(BBXProcess* process);
// The suspension signal's handler.
void BBXProcessSuspendHandler(int signal, siginfo_t* info, void* context);
bool BBXProcessGetThreadState(const BBXProcess* process, int32_t thread, BBXThreadState* state);

// Which queue each thread serves: slots of a thread id (0: free) and the
// address of the queue's label, kept up to date by the executors while their
// threads run and read here by thread id.
struct BBXQueueLabelSlot {
    int32_t tid;
    uint32_t reserved;
    uint64_t label;
};
void BBXProcessSetQueueLabels(const BBXQueueLabelSlot* slots, uint32_t count);

bool BBXProcessRecordAllThreads(const BBXProcess* process, BBXFile* file);
bool BBXProcessRecordRuntimeInfo(const BBXProcess* process, BBXFile* file);
bool BBXProcessRecordDispatchQueueNames(const BBXProcess* process, BBXFile* file);
bool BBXProcessRecordThreadNames(const BBXProcess* process, BBXFile* file);
bool BBXProcessRecordStats(const BBXProcess* process, BBXFile* file);
bool BBXHostRecordStorage(BBXFile* file);
