#pragma once
// Reading executable images over their bytes: Mach-O headers, universal
// slices and load commands, and the ELF identity of a Linux executable.
//
// Every reader is bounded by the mapping it is given: a truncated header, a
// load command of size 0 or one that runs past the end is reported as a
// failure, never read.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

inline constexpr std::uint32_t kTRLMachOFatMagic = 0xcafebabe;
inline constexpr std::uint32_t kTRLMachOMagic32 = 0xfeedface;
inline constexpr std::uint32_t kTRLMachOCigam32 = 0xcefaedfe;
inline constexpr std::uint32_t kTRLMachOMagic64 = 0xfeedfacf;
inline constexpr std::uint32_t kTRLMachOCigam64 = 0xcffaedfe;
inline constexpr std::int32_t kTRLCPUArchABI64 = 0x01000000;

inline constexpr std::uint32_t kTRLLoadCommandSegment = 0x1;
inline constexpr std::uint32_t kTRLLoadCommandSegment64 = 0x19;
inline constexpr std::uint32_t kTRLLoadCommandUUID = 0x1b;
inline constexpr std::uint32_t kTRLLoadCommandVersionMinMacOSX = 0x24;
inline constexpr std::uint32_t kTRLLoadCommandVersionMinIPhoneOS = 0x25;
inline constexpr std::uint32_t kTRLLoadCommandEncryptionInfo = 0x21;
inline constexpr std::uint32_t kTRLLoadCommandEncryptionInfo64 = 0x2c;
inline constexpr std::uint32_t kTRLLoadCommandLoadDylib = 0xc;
inline constexpr std::uint32_t kTRLLoadCommandIdDylib = 0xd;

// A file mapped read-only.
struct TRLMachOMappedFile {
    int fd = -1;
    std::size_t length = 0;
    const std::uint8_t* address = nullptr;
};

// One architecture slice (also the header handle of a loaded image). `size`
// is how many bytes may be read from `header` on.
struct TRLMachOSlice {
    const std::uint8_t* header = nullptr;
    std::size_t size = 0;
    std::int32_t cpuType = 0;
    std::int32_t cpuSubtype = 0;
};
using TRLMachOHeaderHandle = TRLMachOSlice;

struct TRLMachOSection {
    std::uint64_t address = 0;
    std::uint64_t size = 0;
    std::uint32_t offset = 0;
};

struct TRLMachOSegment {
    char name[17] = {};  // 16 bytes and a terminator
    std::uint64_t vmaddr = 0;
    std::uint64_t vmsize = 0;
};

struct TRLMachOVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t bugfix = 0;
};

// Opens a regular file of at least 16 bytes and maps it read-only.
bool TRLMachOMapFile(const char* path, TRLMachOMappedFile* file);
// Maps the running program's own executable file.
bool TRLMachOMapMainExecutable(TRLMachOMappedFile* file);
void TRLMachOUnmapFile(TRLMachOMappedFile* file);

// The running machine's CPU type and subtype (in Mach terms) and where the
// main executable's header is loaded.
bool TRLMachOGetExecutableInfo(std::int32_t* cpuType, std::int32_t* cpuSubtype, const void** header);
// The file of the loaded image holding `address`; nullopt for null or unknown.
std::optional<std::string> TRLMachOImagePathForAddress(const void* address);

// Calls `block` once per slice (universal files: once per architecture
// entry; thin files: once). False when the file is truncated or an entry
// points outside it (the slices that fit are still reported).
bool TRLMachOEnumerateSlices(const TRLMachOMappedFile* file, const std::function<void(const TRLMachOSlice&)>& block);
// The last slice whose architecture name equals `name`.
std::optional<TRLMachOSlice> TRLMachOFindSliceForArchitecture(const TRLMachOMappedFile* file, const std::string& name);
std::string TRLMachOArchitectureName(std::int32_t cpuType, std::int32_t cpuSubtype);

// Fills the slice's CPU type and subtype from its header and calls `block`
// for each load command. False for an unknown magic or malformed commands.
bool TRLMachOEnumerateLoadCommands(
    TRLMachOSlice* slice,
    const std::function<void(std::uint32_t cmd, std::uint32_t cmdSize, const std::uint8_t* command)>& block);

TRLMachOHeaderHandle TRLMachOHeaderHandleMake(const void* header, std::size_t size);
bool TRLMachOHeaderIs64Bit(const TRLMachOHeaderHandle& handle);

bool TRLMachOGetSection(const TRLMachOHeaderHandle& handle, const char* segment, const char* section,
                        TRLMachOSection* out);
const std::uint8_t* TRLMachOSectionAddress(const TRLMachOHeaderHandle& handle, const TRLMachOSection& section);
// In-memory addresses of "__TEXT,__unwind_info" and "__TEXT,__eh_frame" of a
// loaded image with the given slide (0 when missing).
bool TRLMachOUnwindSections(const TRLMachOHeaderHandle& handle, std::intptr_t slide, std::uintptr_t* unwindInfo,
                            std::uintptr_t* ehFrame);

// Readers of one load command; null, false or zeros when the command is too short.
const std::uint8_t* TRLMachOUUIDFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize);
std::optional<std::string> TRLMachODylibNameFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize);
bool TRLMachOIsEncrypted(const std::uint8_t* command, std::uint32_t cmdSize);
TRLMachOVersion TRLMachOMinimumVersionFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize);
TRLMachOVersion TRLMachOSDKVersionFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize);
TRLMachOSegment TRLMachOSegmentFromLoadCommand(const std::uint8_t* command, std::uint32_t cmdSize);
std::string TRLMachOUUIDString(const std::uint8_t* uuid16);
std::optional<std::string> TRLMachOVersionString(const std::optional<TRLMachOVersion>& version);

// The identity of an ELF executable: its architecture name (from the ELF
// header), its GNU build-id in lower-case hexadecimal, and the oldest kernel
// it runs on (from the GNU ABI tag note, when present).
struct TRLElfIdentity {
    std::string architecture;
    std::string buildID;
    std::optional<TRLMachOVersion> minimumKernel;
};
std::optional<TRLElfIdentity> TRLElfReadIdentity(const std::uint8_t* bytes, std::size_t length);
