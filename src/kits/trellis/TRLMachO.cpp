#include "kits/trellis/TRLMachO.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>

#include "kits/trellis/TRLUtilities.h"

namespace {

std::uint32_t readHost32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

std::uint64_t readHost64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

std::uint32_t readBig32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

bool isMachOMagic(std::uint32_t magic) {
    return magic == kTRLMachOMagic32 || magic == kTRLMachOCigam32 || magic == kTRLMachOMagic64 ||
           magic == kTRLMachOCigam64;
}

std::size_t headerSizeForMagic(std::uint32_t magic) {
    if (magic == kTRLMachOMagic32 || magic == kTRLMachOCigam32) return 28;
    if (magic == kTRLMachOMagic64 || magic == kTRLMachOCigam64) return 32;
    return 0;
}

TRLMachOVersion decodeVersion(std::uint32_t word) {
    return TRLMachOVersion{word >> 16, (word >> 8) & 0xff, word & 0xff};
}

}  // namespace

bool TRLMachOMapFile(const char* path, TRLMachOMappedFile* file) {
    if (!path || !file) return false;
    *file = TRLMachOMappedFile{};
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 16) {
        ::close(fd);
        return false;
    }
    void* map = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    file->fd = fd;
    file->length = static_cast<std::size_t>(st.st_size);
    file->address = static_cast<const std::uint8_t*>(map);
    return true;
}

bool TRLMachOMapMainExecutable(TRLMachOMappedFile* file) { return TRLMachOMapFile("/proc/self/exe", file); }

void TRLMachOUnmapFile(TRLMachOMappedFile* file) {
    if (!file) return;
    if (file->address && file->length > 0) ::munmap(const_cast<std::uint8_t*>(file->address), file->length);
    if (file->fd >= 0) ::close(file->fd);
    *file = TRLMachOMappedFile{};
}

bool TRLMachOGetExecutableInfo(std::int32_t* cpuType, std::int32_t* cpuSubtype, const void** header) {
    utsname u{};
    if (::uname(&u) != 0) return false;
    std::string machine = u.machine;
    std::int32_t type = 0, subtype = 0;
    if (machine == "x86_64") type = 7 | kTRLCPUArchABI64, subtype = 3;
    else if (machine == "aarch64" || machine == "arm64") type = 12 | kTRLCPUArchABI64, subtype = 0;
    else if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") type = 7, subtype = 3;
    else if (machine.rfind("arm", 0) == 0) type = 12, subtype = 9;
    if (cpuType) *cpuType = type;
    if (cpuSubtype) *cpuSubtype = subtype;
    if (header) {
        const void* found = nullptr;
        // The first object dl_iterate_phdr reports is the main program.
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* data) -> int {
                std::uintptr_t lowest = UINTPTR_MAX;
                for (int i = 0; i < info->dlpi_phnum; ++i)
                    if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest)
                        lowest = info->dlpi_phdr[i].p_vaddr;
                if (lowest == UINTPTR_MAX) lowest = 0;
                *static_cast<const void**>(data) = reinterpret_cast<const void*>(info->dlpi_addr + lowest);
                return 1;
            },
            &found);
        *header = found;
    }
    return type != 0;
}

std::optional<std::string> TRLMachOImagePathForAddress(const void* address) {
    if (!address) return std::nullopt;
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || !info.dli_fname || !*info.dli_fname) return std::nullopt;
    return std::string(info.dli_fname);
}

bool TRLMachOEnumerateSlices(const TRLMachOMappedFile* file, const std::function<void(const TRLMachOSlice&)>& block) {
    if (!file || !file->address || file->length < 8 || !block) return false;
    const std::uint8_t* base = file->address;
    std::uint32_t magicBig = readBig32(base);
    std::uint32_t magicHost = readHost32(base);
    if (magicBig == kTRLMachOFatMagic || magicHost == kTRLMachOFatMagic) {
        std::uint32_t count = readBig32(base + 4);
        bool whole = true;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::size_t entry = 8 + std::size_t(i) * 20;
            if (entry + 20 > file->length) {
                whole = false;
                break;
            }
            std::uint32_t offset = readBig32(base + entry + 8);
            if (offset >= file->length) {
                whole = false;
                continue;
            }
            TRLMachOSlice slice;
            slice.cpuType = static_cast<std::int32_t>(readBig32(base + entry));
            slice.cpuSubtype = static_cast<std::int32_t>(readBig32(base + entry + 4));
            slice.header = base + offset;
            slice.size = file->length - offset;
            block(slice);
        }
        return whole;
    }
    TRLMachOSlice slice;
    slice.header = base;
    slice.size = file->length;
    if (isMachOMagic(magicHost) && file->length >= 12) {
        slice.cpuType = static_cast<std::int32_t>(readHost32(base + 4));
        slice.cpuSubtype = static_cast<std::int32_t>(readHost32(base + 8));
    }
    block(slice);
    return true;
}

std::optional<TRLMachOSlice> TRLMachOFindSliceForArchitecture(const TRLMachOMappedFile* file,
                                                              const std::string& name) {
    std::optional<TRLMachOSlice> found;
    TRLMachOEnumerateSlices(file, [&](const TRLMachOSlice& s) {
        if (TRLMachOArchitectureName(s.cpuType, s.cpuSubtype) == name) found = s;
    });
    return found;
}

std::string TRLMachOArchitectureName(std::int32_t cpuType, std::int32_t cpuSubtype) {
    std::int32_t sub = cpuSubtype & 0x00ffffff;  // without the capability bits
    if (cpuType == 0x0100000c && sub == 0) return "arm64";
    if (cpuType == 12 && sub == 11) return "armv7s";
    if (cpuType == 12 && sub == 12) return "armv7k";
    switch (cpuType) {
    case 7: return "i386";
    case 7 | kTRLCPUArchABI64: return sub == 8 ? "x86_64h" : "x86_64";
    case 0x0100000c: return sub == 2 ? "arm64e" : "arm64";
    case 12:
        switch (sub) {
        case 5: return "armv4t";
        case 6: return "armv6";
        case 7: return "armv5";
        case 9: return "armv7";
        case 10: return "armv7f";
        case 14: return "armv6m";
        case 15: return "armv7m";
        case 16: return "armv7em";
        default: return "arm";
        }
    case 18: return "ppc";
    case 18 | kTRLCPUArchABI64: return "ppc64";
    default: return "unknown";
    }
}

bool TRLMachOEnumerateLoadCommands(
    TRLMachOSlice* slice,
    const std::function<void(std::uint32_t, std::uint32_t, const std::uint8_t*)>& block) {
    if (!slice || !slice->header || slice->size < 4) return false;
    std::uint32_t magic = readHost32(slice->header);
    std::size_t headerSize = headerSizeForMagic(magic);
    if (headerSize == 0 || slice->size < headerSize) return false;
    slice->cpuType = static_cast<std::int32_t>(readHost32(slice->header + 4));
    slice->cpuSubtype = static_cast<std::int32_t>(readHost32(slice->header + 8));
    std::uint32_t count = readHost32(slice->header + 16);
    std::size_t offset = headerSize;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (offset + 8 > slice->size) return false;
        const std::uint8_t* command = slice->header + offset;
        std::uint32_t cmd = readHost32(command);
        std::uint32_t cmdSize = readHost32(command + 4);
        if (cmdSize < 8 || cmdSize > slice->size - offset) return false;
        if (block) block(cmd, cmdSize, command);
        offset += cmdSize;
    }
    return true;
}

TRLMachOHeaderHandle TRLMachOHeaderHandleMake(const void* header, std::size_t size) {
    TRLMachOHeaderHandle handle;
    handle.header = static_cast<const std::uint8_t*>(header);
    handle.size = header ? size : 0;
    if (handle.header && handle.size >= 12 && isMachOMagic(readHost32(handle.header))) {
        handle.cpuType = static_cast<std::int32_t>(readHost32(handle.header + 4));
        handle.cpuSubtype = static_cast<std::int32_t>(readHost32(handle.header + 8));
    }
    return handle;
}

bool TRLMachOHeaderIs64Bit(const TRLMachOHeaderHandle& handle) { return (handle.cpuType & kTRLCPUArchABI64) != 0; }

bool TRLMachOGetSection(const TRLMachOHeaderHandle& handle, const char* segment, const char* section,
                        TRLMachOSection* out) {
    if (!segment || !section) return false;
    TRLMachOSlice slice = handle;
    bool found = false;
    auto nameIs = [](const std::uint8_t* field, const char* name) {
        char buf[17] = {};
        std::memcpy(buf, field, 16);
        return std::strcmp(buf, name) == 0;
    };
    TRLMachOEnumerateLoadCommands(&slice, [&](std::uint32_t cmd, std::uint32_t cmdSize, const std::uint8_t* c) {
        if (found) return;
        bool is64 = cmd == kTRLLoadCommandSegment64;
        if (cmd != kTRLLoadCommandSegment && !is64) return;
        std::size_t segHeader = is64 ? 72 : 56;
        std::size_t sectSize = is64 ? 80 : 68;
        if (cmdSize < segHeader || !nameIs(c + 8, segment)) return;
        std::uint32_t nsects = readHost32(c + (is64 ? 64 : 48));
        for (std::uint32_t i = 0; i < nsects; ++i) {
            std::size_t at = segHeader + std::size_t(i) * sectSize;
            if (at + sectSize > cmdSize) return;
            const std::uint8_t* s = c + at;
            if (!nameIs(s, section) || !nameIs(s + 16, segment)) continue;
            TRLMachOSection result;
            if (is64) {
                result.address = readHost64(s + 32);
                result.size = readHost64(s + 40);
                result.offset = readHost32(s + 48);
            } else {
                result.address = readHost32(s + 32);
                result.size = readHost32(s + 36);
                result.offset = readHost32(s + 40);
            }
            if (out) *out = result;
            found = true;
            return;
        }
    });
    return found;
}

const std::uint8_t* TRLMachOSectionAddress(const TRLMachOHeaderHandle& handle, const TRLMachOSection& section) {
    if (!handle.header || section.offset >= handle.size) return nullptr;
    return handle.header + section.offset;
}

bool TRLMachOUnwindSections(const TRLMachOHeaderHandle& handle, std::intptr_t slide, std::uintptr_t* unwindInfo,
                            std::uintptr_t* ehFrame) {
    TRLMachOSection s;
    bool any = false;
    if (unwindInfo) *unwindInfo = 0;
    if (ehFrame) *ehFrame = 0;
    if (TRLMachOGetSection(handle, "__TEXT", "__unwind_info", &s)) {
        if (unwindInfo) *unwindInfo = static_cast<std::uintptr_t>(s.address + slide);
        any = true;
    }
    if (TRLMachOGetSection(handle, "__TEXT", "__eh_frame", &s)) {
        if (ehFrame) *ehFrame = static_cast<std::uintptr_t>(s.address + slide);
        any = true;
    }
    return any;
}

const std::uint8_t* TRLMachOUUIDFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize) {
    if (!command || cmdSize < 24) return nullptr;
    return command + 8;
}

std::optional<std::string> TRLMachODylibNameFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize) {
    if (!command || cmdSize < 12) return std::nullopt;
    std::uint32_t offset = readHost32(command + 8);
    if (offset < 12 || offset >= cmdSize) return std::nullopt;
    const char* name = reinterpret_cast<const char*>(command + offset);
    std::size_t n = ::strnlen(name, cmdSize - offset);
    return std::string(name, n);
}

bool TRLMachOIsEncrypted(const std::uint8_t* command, std::uint32_t cmdSize) {
    if (!command || cmdSize < 20) return false;
    return readHost32(command + 16) != 0;
}

TRLMachOVersion TRLMachOMinimumVersionFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize) {
    if (!command || cmdSize < 16) return {};
    return decodeVersion(readHost32(command + 8));
}

TRLMachOVersion TRLMachOSDKVersionFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize) {
    if (!command || cmdSize < 16) return {};
    return decodeVersion(readHost32(command + 12));
}

TRLMachOSegment TRLMachOSegmentFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize) {
    TRLMachOSegment seg;
    if (!command || cmdSize < 8) return seg;
    std::uint32_t cmd = readHost32(command);
    if (cmd == kTRLLoadCommandSegment64 && cmdSize >= 40) {
        std::memcpy(seg.name, command + 8, 16);
        seg.vmaddr = readHost64(command + 24);
        seg.vmsize = readHost64(command + 32);
    } else if (cmd == kTRLLoadCommandSegment && cmdSize >= 32) {
        std::memcpy(seg.name, command + 8, 16);
        seg.vmaddr = readHost32(command + 24);
        seg.vmsize = readHost32(command + 28);
    }
    return seg;
}

std::string TRLMachOUUIDString(const std::uint8_t* uuid16) { return TRLUUIDBytesToHexString(uuid16); }

std::optional<std::string> TRLMachOVersionString(const std::optional<TRLMachOVersion>& version) {
    if (!version) return std::nullopt;
    return std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
           std::to_string(version->bugfix);
}

namespace {

struct ElfReader {
    const std::uint8_t* bytes;
    std::size_t length;
    bool is64;
    bool little;

    bool has(std::uint64_t offset, std::uint64_t size) const {
        return offset <= length && size <= length - offset;
    }
    std::uint64_t read(std::uint64_t offset, int size) const {
        std::uint64_t v = 0;
        for (int i = 0; i < size; ++i) {
            std::uint64_t b = bytes[offset + i];
            v |= little ? (b << (8 * i)) : (b << (8 * (size - 1 - i)));
        }
        return v;
    }
    std::uint64_t word(std::uint64_t offset) const { return read(offset, is64 ? 8 : 4); }
};

// Walks the notes in [offset, offset + size) of the file.
void readNotes(const ElfReader& r, std::uint64_t offset, std::uint64_t size, TRLElfIdentity& id) {
    if (!r.has(offset, size)) return;
    std::uint64_t end = offset + size;
    std::uint64_t at = offset;
    while (at + 12 <= end) {
        std::uint64_t namesz = r.read(at, 4), descsz = r.read(at + 4, 4), type = r.read(at + 8, 4);
        std::uint64_t name = at + 12;
        std::uint64_t desc = name + ((namesz + 3) & ~std::uint64_t(3));
        std::uint64_t next = desc + ((descsz + 3) & ~std::uint64_t(3));
        if (namesz > end || descsz > end || desc > end || next > end || desc + descsz > end) return;
        bool gnu = namesz == 4 && std::memcmp(r.bytes + name, "GNU", 4) == 0;
        if (gnu && type == NT_GNU_BUILD_ID && descsz > 0 && id.buildID.empty()) {
            id.buildID = TRLHexStringFromData(
                std::string_view(reinterpret_cast<const char*>(r.bytes + desc), static_cast<std::size_t>(descsz)));
        } else if (gnu && type == NT_GNU_ABI_TAG && descsz >= 16 && !id.minimumKernel) {
            id.minimumKernel = TRLMachOVersion{static_cast<std::uint32_t>(r.read(desc + 4, 4)),
                                               static_cast<std::uint32_t>(r.read(desc + 8, 4)),
                                               static_cast<std::uint32_t>(r.read(desc + 12, 4))};
        }
        at = next;
    }
}

std::string elfArchitecture(std::uint64_t machine, bool is64) {
    switch (machine) {
    case EM_X86_64: return "x86_64";
    case EM_386: return "i386";
    case EM_AARCH64: return "arm64";
    case EM_ARM: return "arm";
    case EM_RISCV: return is64 ? "riscv64" : "riscv32";
    case EM_PPC64: return "ppc64";
    case EM_PPC: return "ppc";
    case EM_S390: return "s390x";
    case EM_MIPS: return "mips";
    default: return "unknown";
    }
}

}  // namespace

std::optional<TRLElfIdentity> TRLElfReadIdentity(const std::uint8_t* bytes, std::size_t length) {
    if (!bytes || length < EI_NIDENT || std::memcmp(bytes, ELFMAG, SELFMAG) != 0) return std::nullopt;
    if (bytes[EI_CLASS] != ELFCLASS32 && bytes[EI_CLASS] != ELFCLASS64) return std::nullopt;
    if (bytes[EI_DATA] != ELFDATA2LSB && bytes[EI_DATA] != ELFDATA2MSB) return std::nullopt;
    ElfReader r{bytes, length, bytes[EI_CLASS] == ELFCLASS64, bytes[EI_DATA] == ELFDATA2LSB};
    std::size_t ehsize = r.is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    if (length < ehsize) return std::nullopt;
    TRLElfIdentity id;
    id.architecture = elfArchitecture(r.read(18, 2), r.is64);
    std::uint64_t phoff = r.word(r.is64 ? 32 : 28);
    std::uint64_t shoff = r.word(r.is64 ? 40 : 32);
    std::uint64_t phentsize = r.read(r.is64 ? 54 : 42, 2), phnum = r.read(r.is64 ? 56 : 44, 2);
    std::uint64_t shentsize = r.read(r.is64 ? 58 : 46, 2), shnum = r.read(r.is64 ? 60 : 48, 2);
    std::uint64_t minPh = r.is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    std::uint64_t minSh = r.is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    // Notes are found through the program headers, else the section headers.
    if (phoff && phentsize >= minPh && r.has(phoff, phentsize * phnum)) {
        for (std::uint64_t i = 0; i < phnum; ++i) {
            std::uint64_t ph = phoff + i * phentsize;
            if (r.read(ph, 4) != PT_NOTE) continue;
            std::uint64_t off = r.is64 ? r.read(ph + 8, 8) : r.read(ph + 4, 4);
            std::uint64_t size = r.is64 ? r.read(ph + 32, 8) : r.read(ph + 16, 4);
            readNotes(r, off, size, id);
        }
    }
    if (id.buildID.empty() && shoff && shentsize >= minSh && r.has(shoff, shentsize * shnum)) {
        for (std::uint64_t i = 0; i < shnum; ++i) {
            std::uint64_t sh = shoff + i * shentsize;
            if (r.read(sh + 4, 4) != SHT_NOTE) continue;
            std::uint64_t off = r.is64 ? r.read(sh + 24, 8) : r.read(sh + 16, 4);
            std::uint64_t size = r.is64 ? r.read(sh + 32, 8) : r.read(sh + 20, 4);
            readNotes(r, off, size, id);
        }
    }
    return id;
}
