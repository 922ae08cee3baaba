#pragma once
// Walking a thread's stack from its registers, reading memory only through
// the checked copy. Three strategies in order: DWARF call-frame information
// (found through the image's .eh_frame_hdr), compact unwind tables, then the
// frame-pointer chain (with a stack scan for a frameless first frame).
#include <stdint.h>

#include "BBXContext.h"

constexpr uint32_t BBXUnwindMaxFrames = 512;

// Compact unwind tables of one image.
struct BBXCompactUnwindHeader {
    uint32_t version;
    uint32_t commonEncodingsArraySectionOffset;
    uint32_t commonEncodingsArrayCount;
    uint32_t personalityArraySectionOffset;
    uint32_t personalityArrayCount;
    uint32_t indexSectionOffset;
    uint32_t indexCount;
};

struct BBXCompactUnwindContext {
    uint64_t unwindInfo;
    uint64_t ehFrame;
    uint64_t loadAddress;
    BBXCompactUnwindHeader header;
    uint32_t firstLevelFunctionOffset;
    uint32_t secondLevelPageOffset;
    uint32_t lsdaOffset;
    uint32_t firstLevelNextFunctionOffset;
};

struct BBXCompactUnwindResult {
    uint32_t encoding;
    uint64_t functionStart;
    uint64_t functionEnd;
};

struct BBXUnwindCursor {
    BBXThreadState state;
    uint32_t frameCount;
    uint8_t recoverFromStack;  // the first PC was bad: the caller is at [rsp]
    BBXCompactUnwindContext compact;
};

// Strategies, for tests that want to exercise one alone.
enum : uint32_t {
    BBXUnwindUseDwarf = 1,
    BBXUnwindUseCompact = 2,
    BBXUnwindUseFramePointer = 4,
    BBXUnwindUseStackScan = 8,
    BBXUnwindUseAll = 15,
};
void BBXUnwindSetStrategies(uint32_t strategies);

bool BBXUnwindCursorInit(BBXUnwindCursor* cursor, const BBXThreadState* state);
// True when the cursor stands on a further frame; the first call yields the
// thread's own PC.
bool BBXUnwindNextFrame(BBXUnwindCursor* cursor);
uint64_t BBXUnwindGetPC(const BBXUnwindCursor* cursor);

// Register access by DWARF number (0 rax, 1 rdx, 2 rcx, 3 rbx, 4 rsi, 5 rdi,
// 6 rbp, 7 rsp, 8-15 r8-r15, 16 the return address / rip).
bool BBXUnwindGetRegister(const BBXThreadState* state, uint64_t number, uint64_t* value);
bool BBXUnwindSetRegister(BBXThreadState* state, uint64_t number, uint64_t value);

// One step of the frame-pointer chain: the saved rbp and return address at rbp.
bool BBXUnwindFramePointerStep(BBXThreadState* state);
// The first word between rsp and rbp (at most 64 KiB) that points into a
// tracked image becomes the PC; rsp moves past it (and rbp to the saved one
// when the word is the return address of the frame record at rbp).
bool BBXUnwindStackScan(BBXThreadState* state);

bool BBXCompactUnwindInit(BBXCompactUnwindContext* context, uint64_t unwindInfo, uint64_t ehFrame, uint64_t loadAddress);
bool BBXCompactUnwindLookup(BBXCompactUnwindContext* context, uint64_t pc, BBXCompactUnwindResult* result);
bool BBXCompactUnwindLookupAndCompute(BBXCompactUnwindContext* context, BBXUnwindCursor* cursor, uint64_t pc);
bool BBXCompactUnwindComputeRegisters(BBXCompactUnwindContext* context, const BBXCompactUnwindResult* result,
                                      BBXUnwindCursor* cursor);
bool BBXCompactUnwindDwarfFrame(BBXCompactUnwindContext* context, uint64_t fdeOffset, BBXUnwindCursor* cursor,
                                uint64_t pc);
