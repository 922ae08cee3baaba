#include "BBXUnwind.h"

#include "BBXBinaryImage.h"
#include "BBXDwarf.h"

namespace {

uint32_t strategies = BBXUnwindUseAll;
constexpr uint64_t kStackScanLimit = 64 * 1024;

bool dwarfStep(const BBXImageEntry* image, BBXUnwindCursor* cursor, uint64_t pc, bool* endOfStack) {
    if (image->ehFrame < 4096) return false;
    uint64_t fde = 0;
    if (!BBXDwarfFindFDE(image->ehFrame, pc, &fde)) return false;
    BBXDwarfContext context;
    if (!BBXDwarfFDEInitAtAddress(&context, fde)) {
        BBXSDKLog("%s: Error: Unable to init FDE\n", __func__);
        return false;
    }
    if (pc < context.fde.pcBegin || pc >= context.fde.pcBegin + context.fde.pcRange) return false;
    BBXThreadState next = cursor->state;
    if (!BBXDwarfUnwindComputeRegisters(&context, pc, &next, endOfStack)) {
        BBXSDKLog("%s: Error: failed to compute DWARF registers\n", __func__);
        return false;
    }
    cursor->state = next;
    return true;
}

}  // namespace

void BBXUnwindSetStrategies(uint32_t s) { strategies = s; }

bool BBXUnwindGetRegister(const BBXThreadState* state, uint64_t number, uint64_t* value) {
    const uint64_t* all[] = {&state->rax, &state->rdx, &state->rcx, &state->rbx, &state->rsi, &state->rdi,
                             &state->rbp, &state->rsp, &state->r8,  &state->r9,  &state->r10, &state->r11,
                             &state->r12, &state->r13, &state->r14, &state->r15, &state->rip};
    if (number > 16) {
        BBXSDKLog("%s: Error: Unrecognized get register number %u\n", __func__, static_cast<unsigned>(number));
        return false;
    }
    *value = *all[number];
    return true;
}

bool BBXUnwindSetRegister(BBXThreadState* state, uint64_t number, uint64_t value) {
    uint64_t* all[] = {&state->rax, &state->rdx, &state->rcx, &state->rbx, &state->rsi, &state->rdi,
                       &state->rbp, &state->rsp, &state->r8,  &state->r9,  &state->r10, &state->r11,
                       &state->r12, &state->r13, &state->r14, &state->r15, &state->rip};
    if (number > 16) {
        BBXSDKLog("%s: Unrecognized set register number %u\n", __func__, static_cast<unsigned>(number));
        return false;
    }
    *all[number] = value;
    return true;
}

bool BBXUnwindCursorInit(BBXUnwindCursor* cursor, const BBXThreadState* state) {
    if (!cursor || !state) return false;
    BBXMemoryZero(cursor, sizeof *cursor);
    cursor->state = *state;
    return true;
}

uint64_t BBXUnwindGetPC(const BBXUnwindCursor* cursor) { return cursor ? cursor->state.rip : 0; }

bool BBXUnwindFramePointerStep(BBXThreadState* state) {
    uint64_t frame[2];
    uint64_t rbp = state->rbp;
    if (rbp < 4096 || !BBXReadMemory(rbp, frame, sizeof frame)) {
        BBXSDKLog("%s: Error: failed to read memory at address %p\n", __func__, reinterpret_cast<void*>(rbp));
        return false;
    }
    // Each step must move up the stack, or a damaged chain could loop.
    if (rbp + 16 <= state->rsp) return false;
    state->rip = frame[1];
    state->rbp = frame[0];
    state->rsp = rbp + 16;
    return true;
}

bool BBXUnwindStackScan(BBXThreadState* state) {
    uint64_t start = (state->rsp + 7) & ~static_cast<uint64_t>(7);
    uint64_t limit = start + kStackScanLimit;
    if (state->rbp > start && state->rbp < limit) limit = state->rbp;
    uint64_t words[512];
    uint64_t address = start;
    while (address < limit) {
        // One page (or what is left of it) per read.
        uint64_t pageEnd = (address | 4095) + 1;
        uint64_t end = pageEnd < limit ? pageEnd : limit;
        uint64_t count = (end - address) / 8;
        if (count == 0) break;
        if (!BBXReadMemory(address, words, count * 8)) return false;
        for (uint64_t i = 0; i < count; ++i) {
            BBXImageEntry image;
            if (words[i] >= 4096 && BBXBinaryImageSafeFindImageForAddress(words[i], &image)) {
                uint64_t slot = address + i * 8;
                // The return address of the frame record rbp points at (a
                // function that made its own frame and has nothing else on
                // the stack): the caller's frame pointer is saved beside it.
                if (slot == state->rbp + 8) {
                    uint64_t saved = 0;
                    if (!BBXReadMemory(state->rbp, &saved, 8)) return false;
                    state->rbp = saved;
                }
                state->rip = words[i];
                state->rsp = slot + 8;
                return true;
            }
        }
        address += count * 8;
    }
    return false;
}

bool BBXUnwindNextFrame(BBXUnwindCursor* cursor) {
    if (!cursor) {
        BBXSDKLog("%s: Error: invalid inputs\n", __func__);
        return false;
    }
    BBXThreadState& s = cursor->state;
    if (cursor->frameCount == 0) {
        // Where the thread stood is always worth having, even when its stack
        // pointer is smashed and nothing beyond it can be walked.
        if (s.rsp < 4096) BBXSDKLog("%s: Cancelling unwind for thread with invalid PC/SP\n", __func__);
        // A call through a bad function pointer: the caller's return address
        // is the word at the stack pointer.
        if (s.rip < 4096) cursor->recoverFromStack = 1;
        cursor->frameCount = 1;
        return true;
    }
    if (s.rsp < 4096 || (s.rip < 4096 && !cursor->recoverFromStack)) {
        BBXSDKLog("%s: Error: thread PC/SP invalid before unwind\n", __func__);
        return false;
    }
    if (cursor->frameCount >= BBXUnwindMaxFrames) {
        BBXSDKLog("%s: Error: failed to advance to the next frame\n", __func__);
        return false;
    }

    if (cursor->recoverFromStack) {
        cursor->recoverFromStack = 0;
        uint64_t returnAddress = 0;
        if (!BBXReadMemory(s.rsp, &returnAddress, 8)) return false;
        s.rip = returnAddress;
        s.rsp += 8;
    } else {
        // Return addresses point after the call: look the call itself up.
        // The first frame's PC is where the thread stood, not a return address.
        uint64_t pc = cursor->frameCount == 1 ? s.rip : s.rip - 1;
        bool firstFrame = cursor->frameCount == 1;
        bool done = false;
        BBXImageEntry image;
        bool haveImage = BBXBinaryImageSafeFindImageForAddress(pc, &image);
        if (!haveImage) BBXSDKLog("%s: Unable to find binary for %p\n", __func__, reinterpret_cast<void*>(pc));
        if (haveImage && (strategies & BBXUnwindUseDwarf)) {
            bool endOfStack = false;
            if (dwarfStep(&image, cursor, pc, &endOfStack)) {
                if (endOfStack) return false;
                done = true;
            }
        }
        if (!done && haveImage && (strategies & BBXUnwindUseCompact) && BBXBinaryImageHasUnwindInfo(&image)) {
            if (!BBXCompactUnwindInit(&cursor->compact, image.unwindInfo, image.ehFrame, image.loadAddress))
                BBXSDKLog("%s: Error: Unable to read unwind info\n", __func__);
            else if (BBXCompactUnwindLookupAndCompute(&cursor->compact, cursor, pc))
                done = true;
        }
        if (!done) {
            if (firstFrame && (strategies & BBXUnwindUseStackScan)) {
                BBXSDKLog("%s: Attempting stack scan\n", __func__);
                if (BBXUnwindStackScan(&s)) {
                    BBXSDKLog("%s: Stack scan successful\n", __func__);
                    done = true;
                }
            }
            if (!done && (strategies & BBXUnwindUseFramePointer)) {
                if (s.rbp == 0) {
                    BBXSDKLog("%s: FP is zero, aborting unwind\n", __func__);
                    return false;
                }
                if (!BBXUnwindFramePointerStep(&s)) {
                    BBXSDKLog("%s: Error: Unable to use frame pointer\n", __func__);
                    return false;
                }
                done = true;
            }
        }
        if (!done) return false;
    }
    if (s.rip < 4096) return false;
    if (s.rsp < 4096) {
        BBXSDKLog("%s: Error: SP (%p) isn't a valid pointer\n", __func__, reinterpret_cast<void*>(s.rsp));
        return false;
    }
    cursor->frameCount++;
    return true;
}

// --- Compact unwind -----------------------------------------------------------

namespace {

constexpr uint32_t kModeMask = 0x0F000000;
constexpr uint32_t kModeFrame = 0x01000000;
constexpr uint32_t kModeFramelessImmediate = 0x02000000;
constexpr uint32_t kModeFramelessIndirect = 0x03000000;
constexpr uint32_t kModeDwarf = 0x04000000;

bool read32(uint64_t address, uint32_t* value) { return BBXReadMemory(address, value, 4); }

bool decodePermutation(uint32_t count, uint32_t permutation, int registers[6]) {
    int unrenumbered[6] = {};
    uint32_t p = permutation;
    switch (count) {
        case 6:
        case 5:
            unrenumbered[0] = static_cast<int>(p / 120); p -= static_cast<uint32_t>(unrenumbered[0]) * 120;
            unrenumbered[1] = static_cast<int>(p / 24); p -= static_cast<uint32_t>(unrenumbered[1]) * 24;
            unrenumbered[2] = static_cast<int>(p / 6); p -= static_cast<uint32_t>(unrenumbered[2]) * 6;
            unrenumbered[3] = static_cast<int>(p / 2); p -= static_cast<uint32_t>(unrenumbered[3]) * 2;
            unrenumbered[4] = static_cast<int>(p);
            break;
        case 4:
            unrenumbered[0] = static_cast<int>(p / 60); p -= static_cast<uint32_t>(unrenumbered[0]) * 60;
            unrenumbered[1] = static_cast<int>(p / 12); p -= static_cast<uint32_t>(unrenumbered[1]) * 12;
            unrenumbered[2] = static_cast<int>(p / 3); p -= static_cast<uint32_t>(unrenumbered[2]) * 3;
            unrenumbered[3] = static_cast<int>(p);
            break;
        case 3:
            unrenumbered[0] = static_cast<int>(p / 20); p -= static_cast<uint32_t>(unrenumbered[0]) * 20;
            unrenumbered[1] = static_cast<int>(p / 4); p -= static_cast<uint32_t>(unrenumbered[1]) * 4;
            unrenumbered[2] = static_cast<int>(p);
            break;
        case 2:
            unrenumbered[0] = static_cast<int>(p / 5); p -= static_cast<uint32_t>(unrenumbered[0]) * 5;
            unrenumbered[1] = static_cast<int>(p);
            break;
        case 1:
            unrenumbered[0] = static_cast<int>(p);
            break;
        case 0:
            return true;
        default:
            return false;
    }
    bool used[7] = {};
    for (uint32_t i = 0; i < count; ++i) {
        int renumbered = 0;
        registers[i] = 0;
        for (int u = 1; u < 7; ++u) {
            if (used[u]) continue;
            if (renumbered == unrenumbered[i]) {
                registers[i] = u;
                used[u] = true;
                break;
            }
            ++renumbered;
        }
        if (registers[i] == 0) return false;
    }
    return true;
}

uint64_t* compactRegister(BBXThreadState* s, int number) {
    switch (number) {
        case 1: return &s->rbx;
        case 2: return &s->r12;
        case 3: return &s->r13;
        case 4: return &s->r14;
        case 5: return &s->r15;
        case 6: return &s->rbp;
        default: return nullptr;
    }
}

bool framelessStep(const BBXCompactUnwindResult* result, BBXUnwindCursor* cursor) {
    uint32_t encoding = result->encoding;
    BBXSDKLog("%s: Frameless unwind encountered with encoding %x\n", __func__, encoding);
    uint64_t stackSize = ((encoding >> 16) & 0xff) * 8;
    if ((encoding & kModeMask) == kModeFramelessIndirect) {
        uint32_t subl = 0;
        if (!read32(result->functionStart + ((encoding >> 16) & 0xff), &subl)) {
            BBXSDKLog("%s: Error: unable to read subl value\n", __func__);
            return false;
        }
        stackSize = subl + ((encoding >> 13) & 7) * 8;
    }
    uint32_t count = (encoding >> 10) & 7;
    if (count >= 7) {
        BBXSDKLog("%s: Error: unhandled number of register permutations for encoding %x\n", __func__, encoding);
        return false;
    }
    int registers[6] = {};
    if (!decodePermutation(count, encoding & 0x3ff, registers)) {
        BBXSDKLog("%s: Error: unable to decompress registers %x\n", __func__, encoding);
        return false;
    }
    BBXThreadState next = cursor->state;
    uint64_t saved = cursor->state.rsp + stackSize - 8 - 8 * count;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t* target = compactRegister(&next, registers[i]);
        if (!target) {
            BBXSDKLog("%s: Error: invalid register number count %d\n", __func__, static_cast<int>(count));
            return false;
        }
        if (!BBXReadMemory(saved + 8 * i, target, 8)) {
            BBXSDKLog("%s: Error: unable to read memory to set register\n", __func__);
            return false;
        }
    }
    uint64_t returnAddressAt = cursor->state.rsp + stackSize - 8;
    uint64_t returnAddress = 0;
    BBXSDKLog("%s: SP is %p and we are reading %p\n", __func__, reinterpret_cast<void*>(cursor->state.rsp),
              reinterpret_cast<void*>(returnAddressAt));
    if (!BBXReadMemory(returnAddressAt, &returnAddress, 8)) {
        BBXSDKLog("%s: Error: unable to read memory to set register\n", __func__);
        return false;
    }
    if (returnAddress < 4096) {
        BBXSDKLog("%s: Error: computed PC is invalid\n", __func__);
        return false;
    }
    next.rip = returnAddress;
    next.rsp = returnAddressAt + 8;
    cursor->state = next;
    return true;
}

}  // namespace

bool BBXCompactUnwindInit(BBXCompactUnwindContext* context, uint64_t unwindInfo, uint64_t ehFrame, uint64_t loadAddress) {
    if (reinterpret_cast<uint64_t>(context) < 4096) {
        BBXSDKLog("%s: Error: invalid context passed to compact unwind init", __func__);
        return false;
    }
    if (unwindInfo < 4096) {
        BBXSDKLog("%s: Error: invalid unwind info passed to compact unwind init", __func__);
        return false;
    }
    if (loadAddress < 4096) {
        BBXSDKLog("%s: Error: invalid load address passed to compact unwind init", __func__);
        return false;
    }
    BBXMemoryZero(context, sizeof *context);
    context->unwindInfo = unwindInfo;
    context->ehFrame = ehFrame;
    context->loadAddress = loadAddress;
    if (!BBXReadMemory(unwindInfo, &context->header, sizeof context->header)) {
        BBXSDKLog("%s: Error: could not read memory contents of unwindInfo\n", __func__);
        return false;
    }
    if (context->header.version != 1) {
        BBXSDKLog("%s: Error: bad unwind_info structure version (%d != %d)\n", __func__,
                  static_cast<int>(context->header.version), 1);
        return false;
    }
    return true;
}

bool BBXCompactUnwindLookup(BBXCompactUnwindContext* context, uint64_t pc, BBXCompactUnwindResult* result) {
    if (!context || !result || pc < context->loadAddress) return false;
    uint64_t target = pc - context->loadAddress;
    const BBXCompactUnwindHeader& h = context->header;
    if (h.indexCount < 2) {
        BBXSDKLog("%s: Unable to find pc in first level\n", __func__);
        return false;
    }
    bool found = false;
    for (uint32_t i = 0; i + 1 < h.indexCount; ++i) {
        uint32_t entry[3], next[3];
        uint64_t at = context->unwindInfo + h.indexSectionOffset + i * 12;
        if (!BBXReadMemory(at, entry, 12) || !BBXReadMemory(at + 12, next, 12)) break;
        if (entry[0] <= target && target < next[0]) {
            context->firstLevelFunctionOffset = entry[0];
            context->secondLevelPageOffset = entry[1];
            context->lsdaOffset = entry[2];
            context->firstLevelNextFunctionOffset = next[0];
            found = true;
            break;
        }
    }
    if (!found) {
        BBXSDKLog("%s: Unable to find pc in first level\n", __func__);
        return false;
    }
    BBXSDKLog("%s: Found first level (second => %u)\n", __func__, context->secondLevelPageOffset);
    uint64_t page = context->unwindInfo + context->secondLevelPageOffset;
    uint32_t kind = 0;
    if (!read32(page, &kind)) return false;
    if (kind == 2) {
        BBXSDKLog("%s: Found a second level regular header\n", __func__);
        BBXSDKLog("%s: Encountered a regular second-level page\n", __func__);
        return false;
    }
    if (kind != 3) {
        BBXSDKLog("%s: Unrecognized header kind - unable to continue\n", __func__);
        return false;
    }
    BBXSDKLog("%s: Found a second level compressed header\n", __func__);
    uint16_t fields[4];  // entry offset, entry count, encodings offset, encodings count
    if (!BBXReadMemory(page + 4, fields, sizeof fields)) return false;
    uint64_t base = context->loadAddress + context->firstLevelFunctionOffset;
    auto fail = [&]() {
        BBXSDKLog("%s: Second-level PC lookup failed\n", __func__);
        BBXSDKLog("%s: Unable to lookup compact unwind for pc %p\n", __func__, reinterpret_cast<void*>(pc));
        return false;
    };
    if (pc < base) {
        BBXSDKLog("%s: Error: PC is invalid\n", __func__);
        return fail();
    }
    uint64_t offset = pc - base;
    uint32_t count = fields[1];
    if (count == 0) return fail();
    // The last entry whose function offset is not above the target.
    uint32_t low = 0, high = count;
    uint32_t first = 0;
    if (!read32(page + fields[0], &first) || (first & 0xffffff) > offset) {
        BBXSDKLog("%s: Unable to find PC in second level\n", __func__);
        return fail();
    }
    while (high - low > 1) {
        uint32_t mid = low + (high - low) / 2, entry = 0;
        if (!read32(page + fields[0] + mid * 4, &entry)) return fail();
        if ((entry & 0xffffff) <= offset)
            low = mid;
        else
            high = mid;
    }
    uint32_t entry = 0;
    if (!read32(page + fields[0] + low * 4, &entry)) return fail();
    result->functionStart = base + (entry & 0xffffff);
    if (low + 1 < count) {
        uint32_t next = 0;
        if (!read32(page + fields[0] + (low + 1) * 4, &next)) return fail();
        result->functionEnd = base + (next & 0xffffff);
    } else {
        result->functionEnd = context->loadAddress + context->firstLevelNextFunctionOffset;
    }
    if (pc < result->functionStart || pc >= result->functionEnd) {
        BBXSDKLog("%s: PC does not match computed function range\n", __func__);
        return fail();
    }
    uint32_t index = entry >> 24;
    uint32_t encoding = 0;
    bool ok = index < h.commonEncodingsArrayCount
                  ? read32(context->unwindInfo + h.commonEncodingsArraySectionOffset + index * 4, &encoding)
                  : (index - h.commonEncodingsArrayCount < fields[3] &&
                     read32(page + fields[2] + (index - h.commonEncodingsArrayCount) * 4, &encoding));
    if (!ok) return fail();
    if (encoding == 0) {
        BBXSDKLog("%s: Entry has has no unwind info\n", __func__);
        return fail();
    }
    result->encoding = encoding;
    return true;
}

bool BBXCompactUnwindLookupAndCompute(BBXCompactUnwindContext* context, BBXUnwindCursor* cursor, uint64_t pc) {
    BBXCompactUnwindResult result;
    if (!BBXCompactUnwindLookup(context, pc, &result)) return false;
    BBXSDKLog("%s: Computing registers for encoding %x\n", __func__, result.encoding);
    if (result.encoding & kModeMask) {
        if ((result.encoding & kModeMask) == kModeDwarf)
            return BBXCompactUnwindDwarfFrame(context, result.encoding & 0xffffff, cursor, pc);
    }
    if (!BBXCompactUnwindComputeRegisters(context, &result, cursor)) {
        BBXSDKLog("%s: Error: failed to compute registers\n", __func__);
        return false;
    }
    return true;
}

bool BBXCompactUnwindComputeRegisters(BBXCompactUnwindContext*, const BBXCompactUnwindResult* result,
                                      BBXUnwindCursor* cursor) {
    switch (result->encoding & kModeMask) {
        case kModeFrame: {
            BBXThreadState next = cursor->state;
            if (!BBXUnwindFramePointerStep(&next)) return false;
            cursor->state = next;
            return true;
        }
        case kModeFramelessImmediate:
        case kModeFramelessIndirect:
            return framelessStep(result, cursor);
        default:
            BBXSDKLog("%s: Invalid encoding %x\n", __func__, result->encoding);
            return false;
    }
}

bool BBXCompactUnwindDwarfFrame(BBXCompactUnwindContext* context, uint64_t fdeOffset, BBXUnwindCursor* cursor,
                                uint64_t pc) {
    BBXSDKLog("%s: Trying to read dwarf data with offset %x\n", __func__, static_cast<unsigned>(fdeOffset));
    BBXDwarfContext dwarf;
    if (!BBXDwarfFDEInit(&dwarf, context->ehFrame, fdeOffset)) {
        BBXSDKLog("%s: Error: Unable to init FDE\n", __func__);
        return false;
    }
    bool endOfStack = false;
    BBXThreadState next = cursor->state;
    if (!BBXDwarfUnwindComputeRegisters(&dwarf, pc, &next, &endOfStack) || endOfStack) {
        BBXSDKLog("%s: Error: failed to compute DWARF registers\n", __func__);
        return false;
    }
    cursor->state = next;
    return true;
}
