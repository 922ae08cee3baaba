// fuzz-links: crashtime
// Call-frame information on arbitrary bytes: a CIE and an FDE whose fields
// and instructions come from the input, then the rules at a location inside
// the FDE applied to a register state. Every path must end without faulting.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "kits/blackbox/crashtime/BBXDwarf.h"

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

// Input: [split][CIE body after the id][FDE instructions]; `split` (one
// byte) is the length of the CIE body. The FDE covers [0x1000, 0x2000) and
// the rules are asked at 0x1000 + the byte after the split.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t split = data[0];
    uint8_t at = data[1];
    data += 2;
    size -= 2;
    if (split > size) split = size;
    std::vector<uint8_t> table;
    put32(table, static_cast<uint32_t>(4 + split));
    put32(table, 0);
    table.insert(table.end(), data, data + split);
    size_t fdeOffset = table.size();
    std::vector<uint8_t> fde;
    put32(fde, static_cast<uint32_t>(fdeOffset + 4));
    put64(fde, 0x1000);
    put64(fde, 0x1000);
    fde.push_back(0);  // augmentation data length, when the CIE says "z"
    fde.insert(fde.end(), data + split, data + size);
    put32(table, static_cast<uint32_t>(fde.size()));
    table.insert(table.end(), fde.begin(), fde.end());
    put32(table, 0);

    BBXDwarfContext context;
    if (!BBXDwarfFDEInitAtAddress(&context, reinterpret_cast<uint64_t>(table.data()) + fdeOffset)) return 0;
    BBXDwarfRow row;
    BBXDwarfComputeRow(&context, context.fde.pcBegin + at, &row);
    uint64_t stackWords[64] = {};
    BBXThreadState state;
    memset(&state, 0, sizeof state);
    state.rsp = reinterpret_cast<uint64_t>(stackWords);
    state.rbp = reinterpret_cast<uint64_t>(stackWords + 32);
    state.rip = context.fde.pcBegin + at;
    bool endOfStack = false;
    BBXDwarfUnwindComputeRegisters(&context, state.rip, &state, &endOfStack);
    return 0;
}
