// fuzz-links: crashtime
// The DWARF expression machine on arbitrary bytes: it must end, without
// faulting, whatever the expression says (it runs inside the signal handler).
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "kits/blackbox/crashtime/BBXDwarf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte picks the initial value; the rest is the expression
    // body, given its own exact length prefix so that branches can reach
    // its edges.
    std::vector<uint8_t> expression;
    uint64_t length = size - 1;
    do {
        uint8_t b = length & 0x7f;
        length >>= 7;
        expression.push_back(static_cast<uint8_t>(b | (length ? 0x80 : 0)));
    } while (length);
    expression.insert(expression.end(), data + 1, data + size);
    BBXThreadState state;
    memset(&state, 0, sizeof state);
    uint64_t stackWords[16] = {};
    state.rsp = reinterpret_cast<uint64_t>(stackWords);
    state.rbp = reinterpret_cast<uint64_t>(stackWords + 8);
    state.rip = reinterpret_cast<uint64_t>(&LLVMFuzzerTestOneInput);
    uint64_t result = 0;
    BBXDwarfEvalulateExpression(reinterpret_cast<uint64_t>(expression.data()), &state, data[0], &result);
    return 0;
}
