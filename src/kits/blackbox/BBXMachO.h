#pragma once
// Image details from a Mach-O header and its load commands, read from bytes
// (crash records from that platform name their images this way).
#include <cstddef>
#include <cstdint>
#include <string>

struct BBXMachOVersion {
    std::uint32_t major = 0, minor = 0, patch = 0;
};

struct BBXMachOImageDetails {
    char uuid[33] = {};  // 32 lowercase hex digits
    bool encrypted = false;
    BBXMachOVersion builtSDK;
    BBXMachOVersion minimum;
    std::uint64_t loadAddress = 0;
    std::uint64_t textSize = 0;
    std::uint64_t ehFrame = 0;     // slid addresses, 0 when absent
    std::uint64_t unwindInfo = 0;
    std::uint64_t crashInfo = 0;
    std::uint64_t slide = 0;
};

// `bytes` holds the header and its load commands; false for anything that is
// not a well-formed 32- or 64-bit Mach-O header.
bool BBXMachOReadImageDetails(const std::uint8_t* bytes, std::size_t size, std::uint64_t loadAddress,
                              std::uint64_t slide, BBXMachOImageDetails* details);
// "major.minor.patch"
std::string BBXMachOVersionString(const BBXMachOVersion& version);
