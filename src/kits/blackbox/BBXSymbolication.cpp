#include "kits/blackbox/BBXSymbolication.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Files.h"
#include "base/Log.h"
#include "kits/blackbox/BBXRecords.h"

std::string BBXStackFrame::description() const {
    char text[64];
    std::string sym = symbol.value_or("(null)");
    if (fileName) {
        std::snprintf(text, sizeof text, "{[0x%llx] ", static_cast<unsigned long long>(address));
        return text + *fileName + " - " + sym + ":" + std::to_string(lineNumber) + "}";
    }
    std::snprintf(text, sizeof text, "{[0x%llx + %u] ", static_cast<unsigned long long>(address), lineNumber);
    return text + sym + "}";
}

// The function symbols of one ELF file (.symtab and .dynsym), sorted by
// address, with what is needed to place the file where a report saw it.
struct BBXSymbolResolver::SymbolTable {
    struct Symbol {
        std::uint64_t start, size;
        std::string name;
    };
    std::vector<Symbol> symbols;
    bool hasSymtab = false;
    std::string buildId;           // lowercase hex, "" when the file has none
    std::uint64_t lowestLoad = 0;  // the file address of its first loaded byte

    explicit SymbolTable(const std::string& path) {
        // A report names its files itself: whatever stands there now (a named
        // pipe, a device) is left unopened, or processing could wait on it
        // for good.
        std::size_t size = 0;
        int fd = base::openRegularFile(path, nullptr, &size);
        if (fd < 0) return;
        if (size < sizeof(Elf64_Ehdr)) {
            ::close(fd);
            return;
        }
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (map == MAP_FAILED) return;
        read(static_cast<const std::uint8_t*>(map), size);
        ::munmap(map, size);
        sort();
    }

    void sort() {
        std::sort(symbols.begin(), symbols.end(), [](const Symbol& a, const Symbol& b) { return a.start < b.start; });
    }

    void readBuildId(const std::uint8_t* bytes, std::size_t size, std::uint64_t offset, std::uint64_t length) {
        if (!buildId.empty() || offset > size || length > size - offset) return;
        std::uint64_t p = offset, end = offset + length;
        while (end - p >= sizeof(Elf64_Nhdr)) {
            Elf64_Nhdr note;
            std::memcpy(&note, bytes + p, sizeof note);
            std::uint64_t name = p + sizeof note, desc = name + ((note.n_namesz + 3ull) & ~3ull);
            if (desc > end || note.n_descsz > end - desc) return;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(bytes + name, "GNU", 4) == 0) {
                static const char digits[] = "0123456789abcdef";
                for (std::uint32_t i = 0; i < note.n_descsz && i < 32; ++i) {
                    buildId += digits[bytes[desc + i] >> 4];
                    buildId += digits[bytes[desc + i] & 15];
                }
                return;
            }
            p = desc + ((note.n_descsz + 3ull) & ~3ull);
        }
    }

    // The file chooses where its tables lie, aligned or not: every header is
    // copied out before it is looked at, never read in place.
    template <class T>
    static bool copyAt(const std::uint8_t* bytes, std::size_t size, std::uint64_t offset, T* out) {
        if (offset > size || sizeof(T) > size - offset) return false;
        std::memcpy(out, bytes + offset, sizeof(T));
        return true;
    }

    void read(const std::uint8_t* bytes, std::size_t size) {
        Elf64_Ehdr eh;
        if (!copyAt(bytes, size, 0, &eh)) return;
        if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) return;
        if (eh.e_phoff != 0 && eh.e_phoff <= size && eh.e_phnum <= (size - eh.e_phoff) / sizeof(Elf64_Phdr)) {
            std::uint64_t lowest = ~std::uint64_t(0);
            for (int i = 0; i < eh.e_phnum; ++i) {
                Elf64_Phdr ph;
                copyAt(bytes, size, eh.e_phoff + i * sizeof ph, &ph);
                if (ph.p_type == PT_LOAD) {
                    std::uint64_t start = ph.p_vaddr & ~(ph.p_align > 1 ? ph.p_align - 1 : 0);
                    lowest = std::min(lowest, start);
                } else if (ph.p_type == PT_NOTE) {
                    readBuildId(bytes, size, ph.p_offset, ph.p_filesz);
                }
            }
            if (lowest != ~std::uint64_t(0)) lowestLoad = lowest;
        }
        if (eh.e_shoff == 0 || eh.e_shoff > size || eh.e_shnum > (size - eh.e_shoff) / sizeof(Elf64_Shdr)) return;
        auto section = [&](std::uint64_t index) {
            Elf64_Shdr s;
            copyAt(bytes, size, eh.e_shoff + index * sizeof s, &s);
            return s;
        };
        for (int i = 0; i < eh.e_shnum; ++i) {
            const Elf64_Shdr s = section(i);
            // A separate debug file keeps its notes but not its program headers' contents.
            if (s.sh_type == SHT_NOTE) readBuildId(bytes, size, s.sh_offset, s.sh_size);
            if ((s.sh_type != SHT_SYMTAB && s.sh_type != SHT_DYNSYM) || s.sh_link >= eh.e_shnum) continue;
            const Elf64_Shdr strings = section(s.sh_link);
            if (s.sh_offset > size || s.sh_size > size - s.sh_offset || strings.sh_offset > size ||
                strings.sh_size > size - strings.sh_offset)
                continue;
            if (s.sh_type == SHT_SYMTAB) hasSymtab = true;
            std::size_t count = s.sh_size / sizeof(Elf64_Sym);
            const char* names = reinterpret_cast<const char*>(bytes + strings.sh_offset);
            for (std::size_t k = 0; k < count; ++k) {
                Elf64_Sym sym;
                copyAt(bytes, size, s.sh_offset + k * sizeof sym, &sym);
                if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_value == 0 || sym.st_name >= strings.sh_size)
                    continue;
                const char* name = names + sym.st_name;
                std::size_t n = strnlen(name, strings.sh_size - sym.st_name);
                symbols.push_back({sym.st_value, sym.st_size, std::string(name, n)});
            }
        }
    }

    // The function holding a file address, or the nearest one before it.
    const Symbol* lookup(std::uint64_t address) const {
        auto it = std::upper_bound(symbols.begin(), symbols.end(), address,
                                   [](std::uint64_t a, const Symbol& s) { return a < s.start; });
        if (it == symbols.begin()) return nullptr;
        const Symbol* best = nullptr;
        // Several symbols may share a start (aliases); prefer one whose size covers the address.
        for (auto p = it; p != symbols.begin();) {
            --p;
            if (p->start != (it - 1)->start) break;
            if (address < p->start + std::max<std::uint64_t>(p->size, 1)) return &*p;
            best = &*p;
        }
        return best && best->size == 0 ? best : nullptr;
    }
};

BBXSymbolResolver::BBXSymbolResolver() = default;
BBXSymbolResolver::~BBXSymbolResolver() = default;

namespace {

constexpr const char* kSystemDebugFileDirectory = "/usr/lib/debug";

std::string& debugFileDirectoryStorage() {
    static std::string directory = kSystemDebugFileDirectory;
    return directory;
}

}  // namespace

void BBXSymbolResolver::setDebugFileDirectory(const std::string& directory) { debugFileDirectoryStorage() = directory; }
std::string BBXSymbolResolver::debugFileDirectory() { return debugFileDirectoryStorage(); }
std::vector<std::string> BBXSymbolResolver::debugFileSearchPath() {
    std::vector<std::string> path{debugFileDirectory()};
    if (path.front() != kSystemDebugFileDirectory) path.push_back(kSystemDebugFileDirectory);
    return path;
}

const BBXSymbolResolver::SymbolTable* BBXSymbolResolver::tableFor(const std::string& path, const std::string& buildId) {
    auto& slot = tables_[path];
    if (slot) return slot.get();
    slot = std::make_unique<SymbolTable>(path);
    // A stripped image: its full symbol table may be installed separately,
    // found by the build-id.
    if (!slot->hasSymtab && buildId.size() > 2) {
        const std::string name = "/.build-id/" + buildId.substr(0, 2) + "/" + buildId.substr(2) + ".debug";
        for (const auto& directory : debugFileSearchPath()) {
            SymbolTable debug(directory + name);
            if (!debug.hasSymtab || debug.buildId != buildId) continue;
            slot->symbols.insert(slot->symbols.end(), std::make_move_iterator(debug.symbols.begin()),
                                 std::make_move_iterator(debug.symbols.end()));
            slot->hasSymtab = true;
            slot->sort();
            break;
        }
    }
    return slot.get();
}

bool BBXSymbolResolver::loadBinaryImagesFromFile(const std::string& path) {
    if (path.empty()) return false;
    auto sections = BBXFileReadSections(path, false);
    if (!sections || sections->empty()) {
        spdlog::error("[Blackbox:Crash:SymbolResolver] failed to read binary image file {}", path);
        return false;
    }
    for (const auto& s : *sections) {
        auto it = s.find("load");
        if (it == s.end() || !it->is_object()) continue;
        auto base = it->find("base"), size = it->find("size");
        if (base == it->end() || size == it->end() || !base->is_number_unsigned() || !size->is_number_unsigned()) continue;
        images_.push_back(*it);
    }
    std::stable_sort(images_.begin(), images_.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
        return a["base"].get<std::uint64_t>() < b["base"].get<std::uint64_t>();
    });
    return true;
}

std::optional<nlohmann::json> BBXSymbolResolver::loadedBinaryImageForPC(std::uint64_t address) const {
    for (const auto& image : images_) {
        auto base = image["base"].get<std::uint64_t>(), size = image["size"].get<std::uint64_t>();
        if (base <= address && address - base < size) return image;
    }
    return std::nullopt;
}

bool BBXSymbolResolver::fillInImageDetails(BBXLoadedImage* image, const std::string& uuid) const {
    return !uuid.empty() && BBXBinaryImageFindImageForUUID(uuid.c_str(), image);
}

std::optional<BBXStackFrame> BBXSymbolResolver::frameForAddress(std::uint64_t address) {
    auto frame = BBXStackFrame::stackFrameWithAddress(address);
    if (!updateStackFrame(frame)) return std::nullopt;
    return frame;
}

bool BBXSymbolResolver::updateStackFrame(BBXStackFrame& frame, bool isReturnAddress) {
    if (frame.address == 0) return false;
    auto record = loadedBinaryImageForPC(frame.address);
    if (!record) return false;
    // Whatever the symbol lookup finds, the frame names its image and the
    // offset in it, so a frame without a symbol still says where it was.
    const std::uint64_t base = (*record)["base"].get<std::uint64_t>();
    std::string recordedPath = (*record)["path"].is_string() ? (*record)["path"].get<std::string>() : std::string();
    if (!recordedPath.empty()) frame.library = recordedPath.substr(recordedPath.find_last_of('/') + 1);
    frame.offset = frame.address - base;
    auto uuid = record->find("uuid");
    if (uuid == record->end() || !uuid->is_string() || uuid->get<std::string>().empty()) return false;
    const std::string buildId = uuid->get<std::string>();
    BBXLoadedImage image;
    const SymbolTable* fileTable = nullptr;
    const bool loaded = fillInImageDetails(&image, buildId);
    if (!loaded) {
        // Not loaded in this process (a plugin, or a library this run has
        // not opened yet): the file the report names, if it is still the
        // same build, placed where the report saw it.
        fileTable = recordedPath.empty() ? nullptr : tableFor(recordedPath, buildId);
        if (!fileTable || fileTable->buildId != buildId || fileTable->symbols.empty()) return false;
        image.path = recordedPath;
        image.details.loadAddress = base;
        image.details.bias = base - fileTable->lowestLoad;
    }
    std::uint64_t local = image.details.loadAddress + (frame.address - base);

    // A return address at a function's very start belongs to the call
    // before it (a call that does not return); a thread's own PC never does.
    auto lookup = [&](std::uint64_t address, std::string* name, std::uint64_t* start) {
        Dl_info info{};
        void* entry = nullptr;
        bool resolved = loaded && ::dladdr1(reinterpret_cast<void*>(address), &info, &entry, RTLD_DL_SYMENT) != 0;
        const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
        if (resolved && info.dli_sname && info.dli_saddr && symbol) {
            auto s = reinterpret_cast<std::uint64_t>(info.dli_saddr);
            if (address >= s && address < s + std::max<std::uint64_t>(symbol->st_size, 1)) {
                *name = info.dli_sname;
                *start = s;
                return true;
            }
        }
        // Hidden and static functions are only in the file's own tables.
        const SymbolTable* table = fileTable ? fileTable : image.path.empty() ? nullptr : tableFor(image.path, buildId);
        const SymbolTable::Symbol* found = table ? table->lookup(address - image.details.bias) : nullptr;
        if (!found) return false;
        *name = found->name;
        *start = found->start + image.details.bias;
        return true;
    };
    std::string name;
    std::uint64_t start = 0;
    if (!lookup(local, &name, &start)) return false;
    if (isReturnAddress && local == start) {
        local -= 2;
        if (!lookup(local, &name, &start)) return false;
    }
    frame.symbol = name;
    frame.offset = local > start ? local - start : 0;
    return true;
}

void BBXThreadArrayOperation::enumerateFramesWithBlock(
    const std::function<void(BBXStackFrame&, std::size_t)>& block) {
    if (!threadArray) return;
    for (auto& thread : *threadArray) {
        for (std::size_t i = 0; i < thread.size(); ++i) {
            block(thread[i], i);
            if (isCancelled()) break;
        }
    }
}

void BBXSymbolicationOperation::main() {
    if (!symbolResolver) return;
    enumerateFramesWithBlock([&](BBXStackFrame& frame, std::size_t index) {
        symbolResolver->updateStackFrame(frame, index > 0);
    });
}

void BBXDemangleOperation::main() {
    enumerateFramesWithBlock([](BBXStackFrame& frame, std::size_t) {
        if (!frame.symbol) return;
        if (auto demangled = demangleSymbol(frame.symbol->c_str())) frame.symbol = *demangled;
    });
}

std::optional<std::string> BBXDemangleOperation::demangleSymbol(const char* symbol) {
    if (!symbol) return std::nullopt;
    if (std::strncmp(symbol, "_Z", 2) == 0) return demangleCppSymbol(symbol);
    if (std::strncmp(symbol, "__Z", 3) == 0) return demangleBlockInvokeCppSymbol(symbol);
    if (std::strncmp(symbol, "_T", 2) == 0) return demangleSwiftSymbol(symbol);
    return std::nullopt;
}

std::optional<std::string> BBXDemangleOperation::demangleCppSymbol(const char* symbol) {
    int status = 0;
    char* text = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (!text || status != 0) {
        std::free(text);
        return std::nullopt;
    }
    std::string result = text;
    std::free(text);
    return result;
}

std::optional<std::string> BBXDemangleOperation::demangleBlockInvokeCppSymbol(const char* symbol) {
    std::string s = symbol;
    auto at = s.rfind("_block_invoke");
    if (at == std::string::npos || at < 5) return std::nullopt;
    auto name = demangleSymbol(s.substr(1, at - 1).c_str());
    if (!name) return std::nullopt;
    return *name + s.substr(at);
}

// No other language's demangler is part of this program.
std::optional<std::string> BBXDemangleOperation::demangleSwiftSymbol(const char*) { return std::nullopt; }

void BBXSerializeSymbolicatedFramesOperation::main() {
    BBXFile file;
    if (!BBXFileInitWithPathMode(&file, outputPath.c_str(), false, false)) {
        spdlog::error("[Blackbox:Crash:Symbolication] Failed to create output file");
        return;
    }
    BBXFileWriteSectionStart(&file, "threads");
    BBXFileWriteArrayStart(&file);
    if (threadArray) {
        for (const auto& thread : *threadArray) {
            BBXFileWriteArrayStart(&file);
            for (const auto& frame : thread) {
                BBXFileWriteHashStart(&file);
                auto text = [&](const char* key, const std::optional<std::string>& value) {
                    BBXFileWriteHashEntryNSString(&file, key, value ? value->data() : nullptr, value ? value->size() : 0);
                };
                text("symbol", frame.symbol);
                BBXFileWriteHashEntryUint64(&file, "offset", frame.offset);
                text("library", frame.library);
                BBXFileWriteHashEnd(&file);
            }
            BBXFileWriteArrayEnd(&file);
        }
    }
    BBXFileWriteArrayEnd(&file);
    BBXFileWriteSectionEnd(&file);
    BBXFileClose(&file);
}
