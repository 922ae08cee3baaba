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

// The function symbols of one ELF file (.symtab and .dynsym), sorted by address.
struct BBXSymbolResolver::SymbolTable {
    struct Symbol {
        std::uint64_t start, size;
        std::string name;
    };
    std::vector<Symbol> symbols;

    explicit SymbolTable(const std::string& path) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st;
        if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Elf64_Ehdr))) {
            ::close(fd);
            return;
        }
        auto size = static_cast<std::size_t>(st.st_size);
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (map == MAP_FAILED) return;
        read(static_cast<const std::uint8_t*>(map), size);
        ::munmap(map, size);
        std::sort(symbols.begin(), symbols.end(), [](const Symbol& a, const Symbol& b) { return a.start < b.start; });
    }

    void read(const std::uint8_t* bytes, std::size_t size) {
        const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(bytes);
        if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64) return;
        if (eh->e_shoff == 0 || eh->e_shoff > size || eh->e_shnum > (size - eh->e_shoff) / sizeof(Elf64_Shdr)) return;
        const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + eh->e_shoff);
        for (int i = 0; i < eh->e_shnum; ++i) {
            const Elf64_Shdr& s = sections[i];
            if ((s.sh_type != SHT_SYMTAB && s.sh_type != SHT_DYNSYM) || s.sh_link >= eh->e_shnum) continue;
            const Elf64_Shdr& strings = sections[s.sh_link];
            if (s.sh_offset > size || s.sh_size > size - s.sh_offset || strings.sh_offset > size ||
                strings.sh_size > size - strings.sh_offset)
                continue;
            const auto* syms = reinterpret_cast<const Elf64_Sym*>(bytes + s.sh_offset);
            std::size_t count = s.sh_size / sizeof(Elf64_Sym);
            const char* names = reinterpret_cast<const char*>(bytes + strings.sh_offset);
            for (std::size_t k = 0; k < count; ++k) {
                const Elf64_Sym& sym = syms[k];
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

const BBXSymbolResolver::SymbolTable* BBXSymbolResolver::tableFor(const std::string& path) {
    auto& slot = tables_[path];
    if (!slot) slot = std::make_unique<SymbolTable>(path);
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
    auto uuid = record->find("uuid");
    BBXLoadedImage image;
    if (uuid == record->end() || !uuid->is_string() || !fillInImageDetails(&image, uuid->get<std::string>())) return false;
    std::uint64_t local = image.details.loadAddress + (frame.address - (*record)["base"].get<std::uint64_t>());

    // A return address at a function's very start belongs to the call
    // before it (a call that does not return); a thread's own PC never does.
    auto lookup = [&](std::uint64_t address, std::string* name, std::uint64_t* start) {
        Dl_info info{};
        void* entry = nullptr;
        bool resolved = ::dladdr1(reinterpret_cast<void*>(address), &info, &entry, RTLD_DL_SYMENT) != 0;
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
        const SymbolTable* table = image.path.empty() ? nullptr : tableFor(image.path);
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
    if (local > start) frame.offset = local - start;
    std::string path = (*record)["path"].is_string() ? (*record)["path"].get<std::string>() : std::string();
    frame.library = path.substr(path.find_last_of('/') + 1);
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
