#pragma once
// DWARF call-frame information as found in .eh_frame, with a small
// expression machine. All reads go through the checked copy.
#include <stdint.h>

#include "BBXContext.h"

constexpr int BBXDwarfRegisterCount = 17;
constexpr uint64_t BBXDwarfCFAExpressionRegister = 17;

enum BBXDwarfRuleKind : uint8_t {
    BBXDwarfRuleSame = 0,
    BBXDwarfRuleOffset = 1,         // saved at CFA + value
    BBXDwarfRuleValOffset = 2,      // the value is CFA + value
    BBXDwarfRuleRegister = 3,       // in register `value`
    BBXDwarfRuleExpression = 4,     // saved at the address the expression at `value` computes
    BBXDwarfRuleValExpression = 5,  // the value the expression at `value` computes
    BBXDwarfRuleUndefined = 6,      // not recoverable (on the return address: the end of the stack)
};

struct BBXDwarfRule {
    uint8_t kind;
    int64_t value;
};

// The rules in force at one location.
struct BBXDwarfRow {
    uint64_t cfaRegister;  // 17: the CFA is computed by the expression at cfaExpression
    int64_t cfaOffset;
    uint64_t cfaExpression;
    BBXDwarfRule registers[BBXDwarfRegisterCount];
};

struct BBXDwarfCIE {
    uint64_t length;
    uint8_t version;
    char augmentation[8];
    uint64_t codeAlignment;
    int64_t dataAlignment;
    uint64_t returnAddressRegister;
    uint8_t lsdaEncoding;
    uint8_t personalityEncoding;
    uint64_t personality;
    uint8_t fdeEncoding;
    uint8_t signalFrame;
    uint64_t instructions;
    uint64_t instructionsLength;
};

struct BBXDwarfFDE {
    uint64_t address;
    uint64_t length;
    uint64_t cieOffset;
    uint64_t pcBegin;
    uint64_t pcRange;
    uint64_t instructions;
    uint64_t instructionsLength;
};

struct BBXDwarfContext {
    BBXDwarfCIE cie;
    BBXDwarfFDE fde;
};

// Binary search of the .eh_frame_hdr table for the FDE covering `pc`.
bool BBXDwarfFindFDE(uint64_t ehFrameHdr, uint64_t pc, uint64_t* fdeAddress);
// Parses the FDE at eh_frame + offset (and its CIE).
bool BBXDwarfFDEInit(BBXDwarfContext* context, uint64_t ehFrame, uint64_t fdeOffset);
bool BBXDwarfFDEInitAtAddress(BBXDwarfContext* context, uint64_t fdeAddress);
// The rules in force at `pc` (which must lie inside the FDE).
bool BBXDwarfComputeRow(const BBXDwarfContext* context, uint64_t pc, BBXDwarfRow* row);
// Applies the rules at `pc` to the registers: the caller's registers.
// `*endOfStack` is set when the return address is undefined there.
bool BBXDwarfUnwindComputeRegisters(const BBXDwarfContext* context, uint64_t pc, BBXThreadState* state,
                                    bool* endOfStack);
// Evaluates the length-prefixed expression at `expression` with `initial`
// pushed first.
bool BBXDwarfEvalulateExpression(uint64_t expression, const BBXThreadState* state, uint64_t initial,
                                 uint64_t* result);
// Reads an encoded pointer at *address (advancing it); `dataBase` serves the
// data-relative form.
bool BBXDwarfReadEncodedPointer(uint64_t* address, uint64_t end, uint8_t encoding, uint64_t dataBase,
                                uint64_t* value);
