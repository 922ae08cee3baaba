#include "BBXDwarf.h"

#include "BBXUnwind.h"

namespace {

constexpr int kStateStackDepth = 8;
constexpr int kMachineStackSize = 100;

// Sequential checked reads with a small window, so that instruction streams
// do not cost one system call per byte.
struct Reader {
    uint64_t pos;
    uint64_t end;
    bool ok = true;
    uint64_t cacheStart = 0;
    uint64_t cacheLength = 0;
    unsigned char cache[64];

    Reader(uint64_t p, uint64_t e) : pos(p), end(e) {}

    bool fill(uint64_t address) {
        uint64_t pageEnd = (address | 4095) + 1;
        uint64_t n = pageEnd - address;
        if (n > sizeof cache) n = sizeof cache;
        if (!BBXReadMemory(address, cache, n)) {
            // The window may cross into an unreadable page: try one byte.
            if (!BBXReadMemory(address, cache, 1)) return false;
            n = 1;
        }
        cacheStart = address;
        cacheLength = n;
        return true;
    }

    bool byte(unsigned char* out) {
        if (!ok || pos >= end) return ok = false;
        if (pos < cacheStart || pos >= cacheStart + cacheLength) {
            if (!fill(pos)) return ok = false;
        }
        *out = cache[pos - cacheStart];
        ++pos;
        return true;
    }

    uint64_t fixed(int size) {
        uint64_t v = 0;
        for (int i = 0; i < size; ++i) {
            unsigned char b = 0;
            if (!byte(&b)) return 0;
            v |= static_cast<uint64_t>(b) << (8 * i);
        }
        return v;
    }
    uint8_t u8() { return static_cast<uint8_t>(fixed(1)); }
    uint64_t uleb() {
        uint64_t v = 0;
        unsigned shift = 0;
        for (int i = 0; i < 10; ++i) {
            unsigned char b = 0;
            if (!byte(&b)) return 0;
            if (shift < 64) v |= static_cast<uint64_t>(b & 0x7f) << shift;
            shift += 7;
            if (!(b & 0x80)) return v;
        }
        ok = false;
        return 0;
    }
    int64_t sleb() {
        uint64_t v = 0;
        unsigned shift = 0;
        unsigned char b = 0;
        for (int i = 0; i < 10; ++i) {
            if (!byte(&b)) return 0;
            if (shift < 64) v |= static_cast<uint64_t>(b & 0x7f) << shift;
            shift += 7;
            if (!(b & 0x80)) {
                if (shift < 64 && (b & 0x40)) v |= ~static_cast<uint64_t>(0) << shift;
                return static_cast<int64_t>(v);
            }
        }
        ok = false;
        return 0;
    }
    bool pointer(uint8_t encoding, uint64_t dataBase, uint64_t* value) {
        uint64_t p = pos;
        bool result = BBXDwarfReadEncodedPointer(&p, end, encoding, dataBase, value);
        pos = p;
        if (!result) ok = false;
        return result;
    }
};

// Reads the initial length of a CIE or FDE; sets *start to its content.
bool readLength(Reader& r, uint64_t* length) {
    uint64_t l = r.fixed(4);
    if (!r.ok) return false;
    if (l == 0xffffffffu) {
        l = r.fixed(8);
        if (!r.ok) return false;
    }
    *length = l;
    return true;
}

bool parseCIE(uint64_t address, BBXDwarfCIE* cie) {
    BBXMemoryZero(cie, sizeof *cie);
    Reader r(address, ~static_cast<uint64_t>(0));
    uint64_t length = 0;
    if (!readLength(r, &length) || length == 0) {
        BBXSDKLog("%s: Error: CIE length invalid\n", __func__);
        return false;
    }
    uint64_t end = r.pos + length;
    r.end = end;
    cie->length = length;
    if (r.fixed(4) != 0) BBXSDKLog("%s: Error: CIE flag not found\n", __func__);
    cie->version = r.u8();
    if (cie->version != 1 && cie->version != 3) {
        BBXSDKLog("%s: Error: CIE version %u unsupported\n", __func__, static_cast<unsigned>(cie->version));
        return false;
    }
    for (size_t i = 0;; ++i) {
        uint8_t c = r.u8();
        if (!r.ok) return false;
        if (i < sizeof cie->augmentation - 1) cie->augmentation[i] = static_cast<char>(c);
        if (c == 0) break;
        if (i >= sizeof cie->augmentation - 1) {
            BBXSDKLog("%s: Error: Unimplemented: augmentation string %s\n", __func__, cie->augmentation);
            return false;
        }
    }
    cie->codeAlignment = r.uleb();
    cie->dataAlignment = r.sleb();
    cie->returnAddressRegister = cie->version == 1 ? r.u8() : r.uleb();
    cie->lsdaEncoding = 0xff;
    cie->personalityEncoding = 0xff;
    cie->fdeEncoding = 0;  // absolute pointer
    if (cie->augmentation[0] == 'z') {
        uint64_t augLength = r.uleb();
        uint64_t augEnd = r.pos + augLength;
        for (const char* a = cie->augmentation + 1; *a; ++a) {
            switch (*a) {
                case 'L': cie->lsdaEncoding = r.u8(); break;
                case 'P':
                    cie->personalityEncoding = r.u8();
                    r.pointer(cie->personalityEncoding, 0, &cie->personality);
                    break;
                case 'R': cie->fdeEncoding = r.u8(); break;
                case 'S': cie->signalFrame = 1; break;
                default:
                    BBXSDKLog("%s: Error: Unhandled augmentation string entry %c\n", __func__);
                    return false;
            }
        }
        if (!r.ok || r.pos > augEnd) return false;
        r.pos = augEnd;
    } else if (cie->augmentation[0] != 0) {
        BBXSDKLog("%s: Error: Unimplemented: augmentation string %s\n", __func__, cie->augmentation);
        return false;
    }
    if (!r.ok || r.pos > end) return false;
    cie->instructions = r.pos;
    cie->instructionsLength = end - r.pos;
    return true;
}

// Call-frame instruction opcodes (the primary ones carry an operand in
// their low six bits).
enum : uint8_t {
    DW_CFA_advance_loc = 0x40,
    DW_CFA_offset = 0x80,
    DW_CFA_restore = 0xc0,
    DW_CFA_nop = 0x00,
    DW_CFA_set_loc = 0x01,
    DW_CFA_advance_loc1 = 0x02,
    DW_CFA_advance_loc2 = 0x03,
    DW_CFA_advance_loc4 = 0x04,
    DW_CFA_offset_extended = 0x05,
    DW_CFA_restore_extended = 0x06,
    DW_CFA_undefined = 0x07,
    DW_CFA_same_value = 0x08,
    DW_CFA_register = 0x09,
    DW_CFA_remember_state = 0x0a,
    DW_CFA_restore_state = 0x0b,
    DW_CFA_def_cfa = 0x0c,
    DW_CFA_def_cfa_register = 0x0d,
    DW_CFA_def_cfa_offset = 0x0e,
    DW_CFA_def_cfa_expression = 0x0f,
    DW_CFA_expression = 0x10,
    DW_CFA_offset_extended_sf = 0x11,
    DW_CFA_def_cfa_sf = 0x12,
    DW_CFA_def_cfa_offset_sf = 0x13,
    DW_CFA_val_offset = 0x14,
    DW_CFA_val_offset_sf = 0x15,
    DW_CFA_val_expression = 0x16,
    DW_CFA_GNU_args_size = 0x2e,
    DW_CFA_GNU_negative_offset_extended = 0x2f,
};

// operand × data alignment, refused when the product does not fit: hostile
// tables must not overflow signed arithmetic.
bool scaled(int64_t operand, int64_t dataAlignment, int64_t* out) {
    if (__builtin_mul_overflow(operand, dataAlignment, out)) {
        BBXSDKLog("%s: Error: offset out of range\n", "BBXDwarfComputeRow");
        return false;
    }
    return true;
}
bool scaledUnsigned(uint64_t operand, int64_t dataAlignment, int64_t* out) {
    if (operand > static_cast<uint64_t>(INT64_MAX)) {
        BBXSDKLog("%s: Error: offset out of range\n", "BBXDwarfComputeRow");
        return false;
    }
    return scaled(static_cast<int64_t>(operand), dataAlignment, out);
}

// Moves past a length-prefixed block, which must lie inside the instructions.
bool skipBlock(Reader& r, uint64_t length) {
    if (!r.ok || r.pos > r.end || length > r.end - r.pos) return r.ok = false;
    r.pos += length;
    return true;
}

struct Interpreter {
    const BBXDwarfContext* context;
    BBXDwarfRow initial;
    BBXDwarfRow saved[kStateStackDepth];
    int savedCount = 0;

    bool setRule(BBXDwarfRow* row, uint64_t number, uint8_t kind, int64_t value) {
        // Rules for registers we do not track (vector registers) are ignored.
        if (number < BBXDwarfRegisterCount) row->registers[number] = {kind, value};
        return true;
    }

    bool failed(uint8_t op) {
        BBXSDKLog("%s: Error: Failed to execute dwarf instruction 0x%x\n", "BBXDwarfComputeRow",
                  static_cast<unsigned>(op));
        return false;
    }

    // Runs instructions [start, start + length) until the location passes `target`.
    bool run(uint64_t start, uint64_t length, uint64_t location, uint64_t target, BBXDwarfRow* row) {
        const BBXDwarfCIE& cie = context->cie;
        if (length > ~static_cast<uint64_t>(0) - start) return false;
        Reader r(start, start + length);
        while (r.pos < r.end) {
            uint8_t op = r.u8();
            if (!r.ok) return false;
            uint8_t high = op & 0xc0, low = op & 0x3f;
            uint64_t delta = 0;
            bool advance = false;
            int64_t offset = 0;
            if (high == DW_CFA_advance_loc) {
                delta = low;
                advance = true;
            } else if (high == DW_CFA_offset) {
                if (!scaledUnsigned(r.uleb(), cie.dataAlignment, &offset)) return failed(op);
                setRule(row, low, BBXDwarfRuleOffset, offset);
            } else if (high == DW_CFA_restore) {
                if (low < BBXDwarfRegisterCount) row->registers[low] = initial.registers[low];
            } else {
                switch (op) {
                    case DW_CFA_nop: break;
                    case DW_CFA_set_loc: {
                        uint64_t loc = 0;
                        if (!r.pointer(cie.fdeEncoding, 0, &loc)) return false;
                        if (loc > target) return true;
                        location = loc;
                        break;
                    }
                    case DW_CFA_advance_loc1: delta = r.u8(); advance = true; break;
                    case DW_CFA_advance_loc2: delta = r.fixed(2); advance = true; break;
                    case DW_CFA_advance_loc4: delta = r.fixed(4); advance = true; break;
                    case DW_CFA_offset_extended: {
                        uint64_t n = r.uleb();
                        if (!scaledUnsigned(r.uleb(), cie.dataAlignment, &offset)) return failed(op);
                        setRule(row, n, BBXDwarfRuleOffset, offset);
                        break;
                    }
                    case DW_CFA_restore_extended: {
                        uint64_t n = r.uleb();
                        if (n < BBXDwarfRegisterCount) row->registers[n] = initial.registers[n];
                        break;
                    }
                    case DW_CFA_undefined: setRule(row, r.uleb(), BBXDwarfRuleUndefined, 0); break;
                    case DW_CFA_same_value: setRule(row, r.uleb(), BBXDwarfRuleSame, 0); break;
                    case DW_CFA_register: {
                        uint64_t n = r.uleb();
                        uint64_t other = r.uleb();
                        if (other >= BBXDwarfRegisterCount && n < BBXDwarfRegisterCount) {
                            BBXSDKLog("%s: Error: Found an invalid DW_CFA_register value\n", __func__);
                            return false;
                        }
                        setRule(row, n, BBXDwarfRuleRegister, static_cast<int64_t>(other));
                        break;
                    }
                    case DW_CFA_remember_state:
                        if (savedCount >= kStateStackDepth) return false;
                        saved[savedCount++] = *row;
                        break;
                    case DW_CFA_restore_state:  // the CFA rule is part of the saved state
                        if (savedCount == 0) return false;
                        *row = saved[--savedCount];
                        break;
                    case DW_CFA_def_cfa: {
                        uint64_t n = r.uleb();
                        uint64_t off = r.uleb();
                        if (n >= BBXDwarfRegisterCount) {
                            BBXSDKLog("%s: Error: Found an invalid DW_CFA_def_cfa register number\n", __func__);
                            return false;
                        }
                        row->cfaRegister = n;
                        row->cfaOffset = static_cast<int64_t>(off);
                        break;
                    }
                    case DW_CFA_def_cfa_register: {
                        uint64_t n = r.uleb();
                        if (n >= BBXDwarfRegisterCount) {
                            BBXSDKLog("%s: Error: Found an invalid DW_CFA_def_cfa_register register number\n", __func__);
                            return false;
                        }
                        row->cfaRegister = n;
                        break;
                    }
                    case DW_CFA_def_cfa_offset: row->cfaOffset = static_cast<int64_t>(r.uleb()); break;
                    case DW_CFA_def_cfa_expression: {
                        row->cfaRegister = BBXDwarfCFAExpressionRegister;
                        row->cfaExpression = r.pos;
                        if (!skipBlock(r, r.uleb())) return failed(op);
                        break;
                    }
                    case DW_CFA_expression:
                    case DW_CFA_val_expression: {
                        uint64_t n = r.uleb();
                        uint64_t at = r.pos;
                        if (!skipBlock(r, r.uleb())) return failed(op);
                        setRule(row, n, op == DW_CFA_expression ? BBXDwarfRuleExpression : BBXDwarfRuleValExpression,
                                static_cast<int64_t>(at));
                        break;
                    }
                    case DW_CFA_offset_extended_sf: {
                        uint64_t n = r.uleb();
                        if (!scaled(r.sleb(), cie.dataAlignment, &offset)) return failed(op);
                        setRule(row, n, BBXDwarfRuleOffset, offset);
                        break;
                    }
                    case DW_CFA_def_cfa_sf: {
                        uint64_t n = r.uleb();
                        if (!scaled(r.sleb(), cie.dataAlignment, &offset)) return failed(op);
                        if (n >= BBXDwarfRegisterCount) return false;
                        row->cfaRegister = n;
                        row->cfaOffset = offset;
                        break;
                    }
                    case DW_CFA_def_cfa_offset_sf:
                        if (!scaled(r.sleb(), cie.dataAlignment, &offset)) return failed(op);
                        row->cfaOffset = offset;
                        break;
                    case DW_CFA_val_offset: {
                        uint64_t n = r.uleb();
                        if (!scaledUnsigned(r.uleb(), cie.dataAlignment, &offset)) return failed(op);
                        setRule(row, n, BBXDwarfRuleValOffset, offset);
                        break;
                    }
                    case DW_CFA_val_offset_sf: {
                        uint64_t n = r.uleb();
                        if (!scaled(r.sleb(), cie.dataAlignment, &offset)) return failed(op);
                        setRule(row, n, BBXDwarfRuleValOffset, offset);
                        break;
                    }
                    case DW_CFA_GNU_args_size: r.uleb(); break;  // nothing to unwind
                    case DW_CFA_GNU_negative_offset_extended: {
                        uint64_t n = r.uleb();
                        if (!scaledUnsigned(r.uleb(), cie.dataAlignment, &offset) || offset == INT64_MIN)
                            return failed(op);
                        setRule(row, n, BBXDwarfRuleOffset, -offset);
                        break;
                    }
                    default:
                        BBXSDKLog("%s: Error: Unrecognized DWARF instruction 0x%x\n", __func__, static_cast<unsigned>(op));
                        return failed(op);
                }
            }
            if (!r.ok) return false;
            if (advance) {
                uint64_t next = location + delta * cie.codeAlignment;
                if (next > target || next < location) return true;
                location = next;
            }
        }
        return r.ok;
    }
};

// The expression machine.
struct Machine {
    uint64_t stack[kMachineStackSize];
    int top = 0;  // entries in use
    bool ok = true;

    void push(uint64_t v) {
        if (top >= kMachineStackSize) {
            BBXSDKLog("%s: Error: DWARF machine stack invalid\n", "BBXDwarfEvalulateExpression");
            ok = false;
            return;
        }
        stack[top++] = v;
    }
    uint64_t pop() {
        if (top <= 0) {
            BBXSDKLog("%s: Error: DWARF machine pointers invalid\n", "BBXDwarfEvalulateExpression");
            ok = false;
            return 0;
        }
        return stack[--top];
    }
    uint64_t peek(int depth) {
        if (depth >= top) {
            ok = false;
            return 0;
        }
        return stack[top - 1 - depth];
    }
};

}  // namespace

bool BBXDwarfReadEncodedPointer(uint64_t* address, uint64_t end, uint8_t encoding, uint64_t dataBase,
                                uint64_t* value) {
    *value = 0;
    if (encoding == 0xff) return true;  // omitted
    Reader r(*address, end);
    uint64_t fieldAddress = *address;
    uint64_t v = 0;
    switch (encoding & 0x0f) {
        case 0x00: v = r.fixed(8); break;
        case 0x01: v = r.uleb(); break;
        case 0x02: v = r.fixed(2); break;
        case 0x03: v = r.fixed(4); break;
        case 0x04: v = r.fixed(8); break;
        case 0x09: v = static_cast<uint64_t>(r.sleb()); break;
        case 0x0a: v = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(r.fixed(2)))); break;
        case 0x0b: v = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(r.fixed(4)))); break;
        case 0x0c: v = r.fixed(8); break;
        default:
            BBXSDKLog("%s: Unhandled: encoding 0x%x\n", __func__, static_cast<unsigned>(encoding));
            *value = ~static_cast<uint64_t>(0);
            return false;
    }
    if (!r.ok) return false;
    switch (encoding & 0x70) {
        case 0x00: break;
        case 0x10: v += fieldAddress; break;
        case 0x30: v += dataBase; break;
        default:
            BBXSDKLog("%s: Unhandled: relative encoding 0x%x\n", __func__, static_cast<unsigned>(encoding));
            *value = ~static_cast<uint64_t>(0);
            return false;
    }
    if (encoding & 0x80) {
        uint64_t indirect = 0;
        if (!BBXReadMemory(v, &indirect, 8)) return false;
        v = indirect;
    }
    *address = r.pos;
    *value = v;
    return true;
}

bool BBXDwarfFindFDE(uint64_t ehFrameHdr, uint64_t pc, uint64_t* fdeAddress) {
    unsigned char header[4];
    if (!BBXReadMemory(ehFrameHdr, header, 4) || header[0] != 1) return false;
    uint8_t tableEncoding = header[3];
    uint64_t p = ehFrameHdr + 4, ehFrame = 0, count = 0;
    const uint64_t unbounded = ~static_cast<uint64_t>(0);
    if (!BBXDwarfReadEncodedPointer(&p, unbounded, header[1], ehFrameHdr, &ehFrame)) return false;
    if (!BBXDwarfReadEncodedPointer(&p, unbounded, header[2], ehFrameHdr, &count)) return false;
    // The usual table: pairs of 4-byte offsets from the header.
    if (tableEncoding != 0x3b || count == 0) return false;
    uint64_t table = p;
    uint64_t low = 0, high = count;
    while (high - low > 1) {
        uint64_t mid = low + (high - low) / 2;
        int32_t start;
        if (!BBXReadMemory(table + mid * 8, &start, 4)) return false;
        if (ehFrameHdr + static_cast<uint64_t>(static_cast<int64_t>(start)) <= pc)
            low = mid;
        else
            high = mid;
    }
    int32_t entry[2];
    if (!BBXReadMemory(table + low * 8, entry, 8)) return false;
    if (ehFrameHdr + static_cast<uint64_t>(static_cast<int64_t>(entry[0])) > pc) return false;
    *fdeAddress = ehFrameHdr + static_cast<uint64_t>(static_cast<int64_t>(entry[1]));
    return true;
}

bool BBXDwarfFDEInit(BBXDwarfContext* context, uint64_t ehFrame, uint64_t fdeOffset) {
    return BBXDwarfFDEInitAtAddress(context, ehFrame + fdeOffset);
}

bool BBXDwarfFDEInitAtAddress(BBXDwarfContext* context, uint64_t fdeAddress) {
    if (!context) return false;
    BBXMemoryZero(context, sizeof *context);
    Reader r(fdeAddress, ~static_cast<uint64_t>(0));
    uint64_t length = 0;
    if (!readLength(r, &length)) return false;
    if (length == 0) {
        BBXSDKLog("%s: Error: FDE has zero length\n", __func__);
        return false;
    }
    uint64_t end = r.pos + length;
    r.end = end;
    uint64_t ciePointerField = r.pos;
    uint64_t ciePointer = r.fixed(4);
    if (!r.ok || ciePointer == 0) {
        BBXSDKLog("%s: Error: CIE offset invalid\n", __func__);
        return false;
    }
    BBXDwarfFDE& fde = context->fde;
    fde.address = fdeAddress;
    fde.length = length;
    fde.cieOffset = ciePointer;
    if (!parseCIE(ciePointerField - ciePointer, &context->cie)) {
        BBXSDKLog("%s: Error: Unable to parse CIE record\n", __func__);
        return false;
    }
    if (!r.pointer(context->cie.fdeEncoding, 0, &fde.pcBegin)) {
        BBXSDKLog("%s: Error: Found an invalid start address\n", __func__);
        return false;
    }
    if (!r.pointer(context->cie.fdeEncoding & 0x0f, 0, &fde.pcRange)) {
        BBXSDKLog("%s: Error: Found an invalid address range\n", __func__);
        return false;
    }
    if (context->cie.augmentation[0] == 'z') {
        if (!skipBlock(r, r.uleb())) return false;
    }
    if (!r.ok || r.pos > end) return false;
    fde.instructions = r.pos;
    fde.instructionsLength = end - r.pos;
    return true;
}

bool BBXDwarfComputeRow(const BBXDwarfContext* context, uint64_t pc, BBXDwarfRow* row) {
    if (!context || !row) return false;
    const BBXDwarfFDE& fde = context->fde;
    if (pc < fde.pcBegin) {
        BBXSDKLog("%s: Error: The FDE pcOffset value cannot be negative\n", __func__);
        return false;
    }
    if (pc >= fde.pcBegin + fde.pcRange) return false;
    Interpreter interpreter;
    interpreter.context = context;
    BBXMemoryZero(row, sizeof *row);
    if (!interpreter.run(context->cie.instructions, context->cie.instructionsLength, fde.pcBegin,
                         ~static_cast<uint64_t>(0), row)) {
        BBXSDKLog("%s: Error: Unable to run CIE instructions\n", __func__);
        return false;
    }
    interpreter.initial = *row;
    interpreter.savedCount = 0;
    if (!interpreter.run(fde.instructions, fde.instructionsLength, fde.pcBegin, pc, row)) {
        BBXSDKLog("%s: Error: Unable to run FDE instructions\n", __func__);
        return false;
    }
    return true;
}

bool BBXDwarfUnwindComputeRegisters(const BBXDwarfContext* context, uint64_t pc, BBXThreadState* state,
                                    bool* endOfStack) {
    BBXDwarfRow row;
    if (!state || !BBXDwarfComputeRow(context, pc, &row)) return false;
    *endOfStack = false;
    uint64_t cfa = 0;
    if (row.cfaRegister == BBXDwarfCFAExpressionRegister) {
        if (!BBXDwarfEvalulateExpression(row.cfaExpression, state, 0, &cfa)) {
            BBXSDKLog("%s: Error: failed to compute CFA expression\n", __func__);
            return false;
        }
    } else {
        uint64_t base = 0;
        if (!BBXUnwindGetRegister(state, row.cfaRegister, &base)) {
            BBXSDKLog("%s: Error: failed to get CFA\n", __func__);
            return false;
        }
        cfa = base + static_cast<uint64_t>(row.cfaOffset);
    }
    BBXThreadState next = *state;
    uint64_t ra = context->cie.returnAddressRegister;
    if (ra >= BBXDwarfRegisterCount) return false;
    for (uint64_t n = 0; n < BBXDwarfRegisterCount; ++n) {
        const BBXDwarfRule& rule = row.registers[n];
        uint64_t value = 0;
        switch (rule.kind) {
            case BBXDwarfRuleSame:
                continue;
            case BBXDwarfRuleUndefined:
                if (n == ra) *endOfStack = true;
                continue;
            case BBXDwarfRuleOffset:
                if (!BBXReadMemory(cfa + static_cast<uint64_t>(rule.value), &value, 8)) {
                    BBXSDKLog("%s: Error: Unable to read CFA value\n", __func__);
                    return false;
                }
                break;
            case BBXDwarfRuleValOffset:
                value = cfa + static_cast<uint64_t>(rule.value);
                break;
            case BBXDwarfRuleRegister:
                if (!BBXUnwindGetRegister(state, static_cast<uint64_t>(rule.value), &value)) return false;
                break;
            case BBXDwarfRuleExpression: {
                uint64_t address = 0;
                if (!BBXDwarfEvalulateExpression(static_cast<uint64_t>(rule.value), state, cfa, &address) ||
                    !BBXReadMemory(address, &value, 8)) {
                    BBXSDKLog("%s: Error: Unable to read memory computed from expression\n", __func__);
                    return false;
                }
                break;
            }
            case BBXDwarfRuleValExpression:
                if (!BBXDwarfEvalulateExpression(static_cast<uint64_t>(rule.value), state, cfa, &value)) {
                    BBXSDKLog("%s: Error: unable to evaluate expression\n", __func__);
                    return false;
                }
                break;
            default:
                BBXSDKLog("%s: Error: Unrecognized register save location 0x%x\n", __func__,
                          static_cast<unsigned>(rule.kind));
                return false;
        }
        if (!BBXUnwindSetRegister(&next, n, value)) {
            BBXSDKLog("%s: Error: Unable to restore register value\n", __func__);
            return false;
        }
    }
    // The return address register carries the caller's PC.
    uint64_t returnAddress = 0;
    if (row.registers[ra].kind == BBXDwarfRuleSame)
        BBXUnwindGetRegister(state, ra, &returnAddress);
    else
        BBXUnwindGetRegister(&next, ra, &returnAddress);
    next.rip = *endOfStack ? 0 : returnAddress;
    next.rsp = cfa;
    if (!*endOfStack && next.rsp <= state->rsp) {
        BBXSDKLog("%s: Error: Stack pointer hasn't changed\n", __func__);
        return false;
    }
    *state = next;
    return true;
}

namespace {

// Expression opcodes.
enum : uint8_t {
    DW_OP_addr = 0x03,
    DW_OP_deref = 0x06,
    DW_OP_const1u = 0x08,
    DW_OP_const1s = 0x09,
    DW_OP_const2u = 0x0a,
    DW_OP_const2s = 0x0b,
    DW_OP_const4u = 0x0c,
    DW_OP_const4s = 0x0d,
    DW_OP_const8u = 0x0e,
    DW_OP_const8s = 0x0f,
    DW_OP_constu = 0x10,
    DW_OP_consts = 0x11,
    DW_OP_dup = 0x12,
    DW_OP_drop = 0x13,
    DW_OP_over = 0x14,
    DW_OP_pick = 0x15,
    DW_OP_swap = 0x16,
    DW_OP_rot = 0x17,
    DW_OP_abs = 0x19,
    DW_OP_and = 0x1a,
    DW_OP_div = 0x1b,
    DW_OP_minus = 0x1c,
    DW_OP_mod = 0x1d,
    DW_OP_mul = 0x1e,
    DW_OP_neg = 0x1f,
    DW_OP_not = 0x20,
    DW_OP_or = 0x21,
    DW_OP_plus = 0x22,
    DW_OP_plus_uconst = 0x23,
    DW_OP_shl = 0x24,
    DW_OP_shr = 0x25,
    DW_OP_shra = 0x26,
    DW_OP_xor = 0x27,
    DW_OP_bra = 0x28,
    DW_OP_eq = 0x29,
    DW_OP_ge = 0x2a,
    DW_OP_gt = 0x2b,
    DW_OP_le = 0x2c,
    DW_OP_lt = 0x2d,
    DW_OP_ne = 0x2e,
    DW_OP_skip = 0x2f,
    DW_OP_lit0 = 0x30,
    DW_OP_lit31 = 0x4f,
    DW_OP_breg0 = 0x70,
    DW_OP_breg31 = 0x8f,
    DW_OP_bregx = 0x92,
    DW_OP_deref_size = 0x94,
    DW_OP_nop = 0x96,
};

// Enough for any expression a compiler emits; a hostile one that loops
// stops here instead of hanging the crash.
constexpr int kMaxExpressionSteps = 1000;

// Moves to the target of a skip or taken branch: only somewhere inside the
// expression (its end included).
bool branch(Reader& r, uint64_t begin, int16_t offset) {
    uint64_t target = r.pos + static_cast<uint64_t>(static_cast<int64_t>(offset));
    bool inside = offset < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(offset)) <= r.pos - begin
                             : static_cast<uint64_t>(offset) <= r.end - r.pos;
    if (!inside) {
        BBXSDKLog("%s: Error: branch target outside the expression\n", "BBXDwarfEvalulateExpression");
        return r.ok = false;
    }
    r.pos = target;
    return true;
}

uint64_t negate(uint64_t v) { return ~v + 1; }

}  // namespace

bool BBXDwarfEvalulateExpression(uint64_t expression, const BBXThreadState* state, uint64_t initial,
                                 uint64_t* result) {
    if (!state || !result) return false;
    Reader r(expression, ~static_cast<uint64_t>(0));
    uint64_t length = r.uleb();
    if (!r.ok) {
        BBXSDKLog("%s: Error: unable to init DWARF expression machine\n", __func__);
        return false;
    }
    if (length == 0) {
        BBXSDKLog("%s: Error: DWARF expression length is zero\n", __func__);
        return false;
    }
    if (length > ~static_cast<uint64_t>(0) - r.pos) {
        BBXSDKLog("%s: Error: unable to prepare for execution\n", __func__);
        return false;
    }
    const uint64_t begin = r.pos;
    r.end = r.pos + length;
    Machine m;
    m.push(initial);
    int steps = 0;
    while (m.ok && r.ok && r.pos < r.end) {
        if (++steps > kMaxExpressionSteps) {
            BBXSDKLog("%s: Error: failed to execute DWARF machine opcode\n", __func__);
            return false;
        }
        uint8_t op = r.u8();
        if (!r.ok) break;
        if (op >= DW_OP_lit0 && op <= DW_OP_lit31) {
            m.push(op - DW_OP_lit0);
            continue;
        }
        if (op >= DW_OP_breg0 && op <= DW_OP_breg31) {
            int64_t offset = r.sleb();
            uint64_t value = 0;
            if (!BBXUnwindGetRegister(state, op - DW_OP_breg0, &value)) {
                BBXSDKLog("%s: Error: DW_OP_breg invalid register number\n", __func__);
                return false;
            }
            m.push(value + static_cast<uint64_t>(offset));
            continue;
        }
        switch (op) {
            case DW_OP_addr: m.push(r.fixed(8)); break;
            case DW_OP_deref: {
                uint64_t address = m.pop(), value = 0;
                if (!m.ok || !BBXReadMemory(address, &value, 8)) {
                    BBXSDKLog("%s: Error: DW_OP_deref failed to read memory\n", __func__);
                    return false;
                }
                m.push(value);
                break;
            }
            case DW_OP_const1u: m.push(r.fixed(1)); break;
            case DW_OP_const1s: m.push(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(r.fixed(1))))); break;
            case DW_OP_const2u: m.push(r.fixed(2)); break;
            case DW_OP_const2s: m.push(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(r.fixed(2))))); break;
            case DW_OP_const4u: m.push(r.fixed(4)); break;
            case DW_OP_const4s: m.push(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(r.fixed(4))))); break;
            case DW_OP_const8u:
            case DW_OP_const8s: m.push(r.fixed(8)); break;
            case DW_OP_constu: m.push(r.uleb()); break;
            case DW_OP_consts: m.push(static_cast<uint64_t>(r.sleb())); break;
            case DW_OP_dup: m.push(m.peek(0)); break;
            case DW_OP_drop: m.pop(); break;
            case DW_OP_over: m.push(m.peek(1)); break;
            case DW_OP_pick: m.push(m.peek(r.u8())); break;
            case DW_OP_swap: {
                uint64_t a = m.pop(), b = m.pop();
                m.push(a);
                m.push(b);
                break;
            }
            case DW_OP_rot: {
                uint64_t a = m.pop(), b = m.pop(), c = m.pop();
                m.push(a);
                m.push(c);
                m.push(b);
                break;
            }
            // Sign changes in unsigned arithmetic: the most negative value
            // stays itself instead of overflowing.
            case DW_OP_abs: {
                uint64_t v = m.pop();
                m.push(static_cast<int64_t>(v) < 0 ? negate(v) : v);
                break;
            }
            case DW_OP_neg: m.push(negate(m.pop())); break;
            case DW_OP_not: m.push(~m.pop()); break;
            case DW_OP_plus_uconst: m.push(m.pop() + r.uleb()); break;
            case DW_OP_and: case DW_OP_div: case DW_OP_minus: case DW_OP_mod: case DW_OP_mul: case DW_OP_or:
            case DW_OP_plus: case DW_OP_shl: case DW_OP_shr: case DW_OP_shra: case DW_OP_xor:
            case DW_OP_eq: case DW_OP_ge: case DW_OP_gt: case DW_OP_le: case DW_OP_lt: case DW_OP_ne: {
                uint64_t b = m.pop(), a = m.pop();
                auto sa = static_cast<int64_t>(a), sb = static_cast<int64_t>(b);
                uint64_t v = 0;
                switch (op) {
                    case DW_OP_and: v = a & b; break;
                    case DW_OP_div:
                        if (sb == 0) return false;
                        // The one quotient that does not fit (and traps).
                        v = sb == -1 ? negate(a) : static_cast<uint64_t>(sa / sb);
                        break;
                    case DW_OP_minus: v = a - b; break;
                    case DW_OP_mod:
                        if (b == 0) return false;
                        v = a % b;
                        break;
                    case DW_OP_mul: v = a * b; break;
                    case DW_OP_or: v = a | b; break;
                    case DW_OP_plus: v = a + b; break;
                    case DW_OP_shl: v = b < 64 ? a << b : 0; break;
                    case DW_OP_shr: v = b < 64 ? a >> b : 0; break;
                    case DW_OP_shra: v = static_cast<uint64_t>(b < 64 ? sa >> b : (sa < 0 ? -1 : 0)); break;
                    case DW_OP_xor: v = a ^ b; break;
                    case DW_OP_eq: v = sa == sb; break;
                    case DW_OP_ge: v = sa >= sb; break;
                    case DW_OP_gt: v = sa > sb; break;
                    case DW_OP_le: v = sa <= sb; break;
                    case DW_OP_lt: v = sa < sb; break;
                    case DW_OP_ne: v = sa != sb; break;
                }
                m.push(v);
                break;
            }
            case DW_OP_bra: {
                auto offset = static_cast<int16_t>(r.fixed(2));
                if (r.ok && m.pop() != 0 && !branch(r, begin, offset)) return false;
                break;
            }
            case DW_OP_skip: {
                auto offset = static_cast<int16_t>(r.fixed(2));
                if (r.ok && !branch(r, begin, offset)) return false;
                break;
            }
            case DW_OP_bregx: {
                uint64_t n = r.uleb();
                int64_t offset = r.sleb();
                uint64_t value = 0;
                if (!BBXUnwindGetRegister(state, n, &value)) return false;
                m.push(value + static_cast<uint64_t>(offset));
                break;
            }
            case DW_OP_deref_size: {
                uint8_t size = r.u8();
                uint64_t address = m.pop(), value = 0;
                if (size != 1 && size != 2 && size != 4 && size != 8) {
                    BBXSDKLog("%s: Error: unrecognized DW_OP_deref_size argument %x\n", __func__,
                              static_cast<unsigned>(size));
                    return false;
                }
                if (!m.ok || !BBXReadMemory(address, &value, size)) return false;
                m.push(value);
                break;
            }
            case DW_OP_nop: break;
            default:
                BBXSDKLog("%s: Error: Unrecognized DWARF expression opcode 0x%x\n", __func__, static_cast<unsigned>(op));
                return false;
        }
    }
    if (!m.ok || !r.ok || r.pos != r.end) {
        BBXSDKLog("%s: Error: DWARF expression hasn't completed execution\n", __func__);
        return false;
    }
    *result = m.pop();
    return m.ok;
}
