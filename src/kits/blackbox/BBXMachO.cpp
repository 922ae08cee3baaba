#include "kits/blackbox/BBXMachO.h"

#include <cstring>

#include "kits/blackbox/crashtime/BBXContext.h"

namespace {

constexpr std::uint32_t kMagic32 = 0xfeedface, kMagic64 = 0xfeedfacf;
constexpr std::uint32_t kSegment = 0x1, kSegment64 = 0x19, kUUID = 0x1b, kEncryption = 0x21, kEncryption64 = 0x2c;

template <class T>
bool load(const std::uint8_t* bytes, std::size_t size, std::size_t offset, T* out) {
    if (offset > size || size - offset < sizeof(T)) return false;
    std::memcpy(out, bytes + offset, sizeof(T));
    return true;
}

bool nameIs(const std::uint8_t* bytes, std::size_t offset, const char* name) {
    char field[17] = {};
    std::memcpy(field, bytes + offset, 16);
    return std::strcmp(field, name) == 0;
}

BBXMachOVersion unpack(std::uint32_t v) { return {v >> 16, (v >> 8) & 0xff, v & 0xff}; }

}  // namespace

std::string BBXMachOVersionString(const BBXMachOVersion& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

bool BBXMachOReadImageDetails(const std::uint8_t* bytes, std::size_t size, std::uint64_t loadAddress,
                              std::uint64_t slide, BBXMachOImageDetails* details) {
    if (!bytes || !details) return false;
    *details = {};
    std::uint32_t magic = 0, ncmds = 0, sizeofcmds = 0;
    if (!load(bytes, size, 0, &magic) || (magic != kMagic32 && magic != kMagic64)) return false;
    bool is64 = magic == kMagic64;
    if (!load(bytes, size, 16, &ncmds) || !load(bytes, size, 20, &sizeofcmds)) return false;
    std::size_t offset = is64 ? 32 : 28;
    if (sizeofcmds > size - offset) return false;
    std::size_t end = offset + sizeofcmds;
    details->loadAddress = loadAddress;
    details->slide = slide;
    for (std::uint32_t i = 0; i < ncmds; ++i) {
        std::uint32_t cmd = 0, cmdsize = 0;
        if (!load(bytes, end, offset, &cmd) || !load(bytes, end, offset + 4, &cmdsize) || cmdsize < 8 ||
            cmdsize > end - offset)
            return false;
        if (cmd == kUUID && cmdsize >= 24) {
            BBXBytesToHexString(bytes + offset + 8, 16, details->uuid);
        } else if ((cmd == kEncryption || cmd == kEncryption64) && cmdsize >= 20) {
            std::uint32_t cryptid = 0;
            load(bytes, end, offset + 16, &cryptid);
            details->encrypted = cryptid != 0;
        } else if ((cmd == 0x24 || cmd == 0x25 || cmd == 0x2f || cmd == 0x30) && cmdsize >= 16) {
            std::uint32_t version = 0, sdk = 0;
            load(bytes, end, offset + 8, &version);
            load(bytes, end, offset + 12, &sdk);
            details->minimum = unpack(version);
            details->builtSDK = unpack(sdk);
        } else if (cmd == kSegment64 || cmd == kSegment) {
            bool wide = cmd == kSegment64;
            std::size_t header = wide ? 72 : 56, sectionSize = wide ? 80 : 68;
            if (cmdsize < header) return false;
            std::uint32_t nsects = 0;
            load(bytes, end, offset + (wide ? 64 : 48), &nsects);
            if (nsects > (cmdsize - header) / sectionSize) return false;
            bool text = nameIs(bytes, offset + 8, "__TEXT"), data = nameIs(bytes, offset + 8, "__DATA");
            if (text) {
                if (wide) {
                    load(bytes, end, offset + 32, &details->textSize);
                } else {
                    std::uint32_t vmsize = 0;
                    load(bytes, end, offset + 28, &vmsize);
                    details->textSize = vmsize;
                }
            }
            for (std::uint32_t s = 0; s < nsects && (text || data); ++s) {
                std::size_t at = offset + header + s * sectionSize;
                std::uint64_t address = 0;
                if (wide) {
                    load(bytes, end, at + 32, &address);
                } else {
                    std::uint32_t a32 = 0;
                    load(bytes, end, at + 32, &a32);
                    address = a32;
                }
                if (text && nameIs(bytes, at, "__eh_frame")) details->ehFrame = address + slide;
                if (text && nameIs(bytes, at, "__unwind_info")) details->unwindInfo = address + slide;
                if (data && nameIs(bytes, at, "__crash_info")) details->crashInfo = address + slide;
            }
        }
        offset += cmdsize;
    }
    return true;
}
