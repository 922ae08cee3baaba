#pragma once
// One stack frame: an address and, once resolved, its symbol and image.
#include <cstdint>
#include <optional>
#include <string>

struct BBXStackFrame {
    std::optional<std::string> symbol;
    std::optional<std::string> library;
    std::optional<std::string> fileName;
    std::uint32_t lineNumber = 0;
    std::uint64_t offset = 0;
    std::uint64_t address = 0;

    static BBXStackFrame stackFrame() { return {}; }
    static BBXStackFrame stackFrameWithAddress(std::uint64_t address) {
        BBXStackFrame f;
        f.address = address;
        return f;
    }
    static BBXStackFrame stackFrameWithSymbol(std::string symbol) {
        BBXStackFrame f;
        f.symbol = std::move(symbol);
        return f;
    }
    std::string description() const;
};
