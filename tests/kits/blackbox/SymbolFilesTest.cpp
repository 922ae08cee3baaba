// Frames of images that are not loaded in the process that symbolicates them
// (a plugin the crashed run had opened) are named from the image's file, or
// from its separate debug file when the image is stripped, and agree with
// addr2line on the unstripped file.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <elf.h>
#include <gnu/libc-version.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "kits/blackbox/BBXSymbolication.h"

namespace {

std::string output(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    char buffer[4096];
    while (p && std::fgets(buffer, sizeof buffer, p)) out += buffer;
    if (p) ::pclose(p);
    return out;
}

std::string buildIdOf(const std::string& path) {
    std::istringstream in(output("readelf -n '" + path + "'"));
    for (std::string line; std::getline(in, line);) {
        auto at = line.find("Build ID: ");
        if (at != std::string::npos) return line.substr(at + 10);
    }
    return {};
}

struct Function {
    std::uint64_t fileAddress;
    std::string expected;  // addr2line's name for it
    bool exported;
};

// Every function the plugin defines, named by addr2line on the unstripped file.
std::vector<Function> functionsOf(const std::string& path) {
    std::vector<Function> functions;
    std::istringstream in(output("nm --defined-only '" + path + "'"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string address, type, name;
        if (!(words >> address >> type >> name) || (type != "t" && type != "T" && type != "W")) continue;
        if (name.rfind("_init", 0) == 0 || name.rfind("_fini", 0) == 0 || name.find("tm_clones") != std::string::npos ||
            name.find("do_global") != std::string::npos || name == "frame_dummy")
            continue;
        Function f{std::stoull(address, nullptr, 16) + 1, {}, type != "t"};
        char command[1024];
        std::snprintf(command, sizeof command, "addr2line -f -C -e '%s' 0x%llx", path.c_str(),
                      static_cast<unsigned long long>(f.fileAddress));
        std::string named = output(command);
        f.expected = named.substr(0, named.find('\n'));
        functions.push_back(f);
    }
    return functions;
}

constexpr std::uint64_t kBase = 0x7f3a12340000;

// A report's image file naming `path` with `buildId`, loaded at kBase.
std::shared_ptr<BBXSymbolResolver> resolverFor(const testsupport::TempDir& dir, const std::string& path,
                                               const std::string& buildId) {
    nlohmann::json load = {{"load", {{"path", path}, {"uuid", buildId}, {"base", kBase}, {"size", 0x100000}}}};
    std::ofstream(dir.file("binary_images.bbxrecord")) << load.dump() << "\n";
    auto resolver = std::make_shared<BBXSymbolResolver>();
    EXPECT_TRUE(resolver->loadBinaryImagesFromFile(dir.file("binary_images.bbxrecord")));
    return resolver;
}

// How many of the functions the resolver names as addr2line does.
std::size_t agreeing(BBXSymbolResolver& resolver, const std::vector<Function>& functions, bool exportedOnly = false) {
    auto thread = std::make_shared<BBXThreadArray>(1);
    for (const auto& f : functions) (*thread)[0].push_back(BBXStackFrame::stackFrameWithAddress(kBase + f.fileAddress));
    for (auto& frame : (*thread)[0]) resolver.updateStackFrame(frame, false);
    BBXDemangleOperation demangle;
    demangle.threadArray = thread;
    demangle.main();
    std::size_t agree = 0;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        const auto& frame = (*thread)[0][i];
        if (exportedOnly && !functions[i].exported) continue;
        if (frame.symbol && *frame.symbol == functions[i].expected && frame.offset == 1) ++agree;
    }
    return agree;
}

struct SymbolFiles : ::testing::Test {
    testsupport::TempDir dir;
    std::string plugin = SYMBOL_PLUGIN_PATH;
    std::string stripped = std::string(SYMBOL_PLUGIN_FILES) + "/libsymbol_plugin_stripped.so";
    std::string buildId = buildIdOf(SYMBOL_PLUGIN_PATH);
    std::vector<Function> functions = functionsOf(SYMBOL_PLUGIN_PATH);

    void SetUp() override {
        ASSERT_EQ(buildId.size(), 40u);
        ASSERT_GE(functions.size(), 6u);
        ASSERT_EQ(buildIdOf(stripped), buildId);
    }
    void TearDown() override { BBXSymbolResolver::setDebugFileDirectory("/usr/lib/debug"); }
};

TEST_F(SymbolFiles, APluginNotLoadedHereIsNamedFromItsFile) {
    auto resolver = resolverFor(dir, plugin, buildId);
    EXPECT_EQ(agreeing(*resolver, functions), functions.size());
    auto frame = BBXStackFrame::stackFrameWithAddress(kBase + functions[0].fileAddress);
    ASSERT_TRUE(resolver->updateStackFrame(frame, false));
    EXPECT_EQ(frame.library, std::filesystem::path(plugin).filename().string());
}

TEST_F(SymbolFiles, AFileOfAnotherBuildIsNotUsed) {
    auto resolver = resolverFor(dir, plugin, std::string(40, 'a'));
    EXPECT_EQ(agreeing(*resolver, functions), 0u);
}

TEST_F(SymbolFiles, AStrippedPluginIsNamedFromItsDebugFileFoundByBuildId) {
    // Without a debug file only the exported functions can be named.
    BBXSymbolResolver::setDebugFileDirectory(dir.path());
    std::size_t exported = 0;
    for (const auto& f : functions) exported += f.exported ? 1 : 0;
    ASSERT_LT(exported, functions.size());
    EXPECT_EQ(agreeing(*resolverFor(dir, stripped, buildId), functions, true), exported);
    EXPECT_LT(agreeing(*resolverFor(dir, stripped, buildId), functions), functions.size());

    const auto debug = std::filesystem::path(dir.path()) / ".build-id" / buildId.substr(0, 2) /
                       (buildId.substr(2) + ".debug");
    std::filesystem::create_directories(debug.parent_path());
    std::filesystem::copy_file(std::string(SYMBOL_PLUGIN_FILES) + "/symbol_plugin.debug", debug);
    EXPECT_EQ(agreeing(*resolverFor(dir, stripped, buildId), functions), functions.size());
}

TEST_F(SymbolFiles, ADebugFileOfAnotherBuildAtTheBuildIdPathIsNotUsed) {
    // The plugin's own debug file with one byte of its build-id changed, put
    // where the stripped plugin's build-id points: its symbols would name
    // every function, but they belong to another build.
    std::string bytes;
    {
        std::ifstream in(std::string(SYMBOL_PLUGIN_FILES) + "/symbol_plugin.debug", std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string raw;
    for (std::size_t i = 0; i < buildId.size(); i += 2) raw += static_cast<char>(std::stoi(buildId.substr(i, 2), nullptr, 16));
    const auto at = bytes.find(raw);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(bytes.find(raw, at + 1), std::string::npos);
    bytes[at + raw.size() - 1] ^= 0x5a;
    BBXSymbolResolver::setDebugFileDirectory(dir.path());
    const auto debug = std::filesystem::path(dir.path()) / ".build-id" / buildId.substr(0, 2) /
                       (buildId.substr(2) + ".debug");
    std::filesystem::create_directories(debug.parent_path());
    std::ofstream(debug, std::ios::binary) << bytes;
    ASSERT_NE(buildIdOf(debug.string()), buildId);

    std::size_t exported = 0;
    for (const auto& f : functions) exported += f.exported ? 1 : 0;
    EXPECT_EQ(agreeing(*resolverFor(dir, stripped, buildId), functions), exported);
}

TEST_F(SymbolFiles, AFrameWithoutASymbolNamesItsImageAndTheOffsetInIt) {
    // Another build of the plugin: nothing in the file may name its frames.
    auto resolver = resolverFor(dir, plugin, std::string(40, 'a'));
    auto frame = BBXStackFrame::stackFrameWithAddress(kBase + functions[0].fileAddress);
    EXPECT_FALSE(resolver->updateStackFrame(frame));
    EXPECT_FALSE(frame.symbol);
    EXPECT_EQ(frame.library, std::filesystem::path(plugin).filename().string());
    EXPECT_EQ(frame.offset, functions[0].fileAddress);
    // Outside every image the frame stays as it was.
    auto outside = BBXStackFrame::stackFrameWithAddress(kBase - 1);
    EXPECT_FALSE(resolver->updateStackFrame(outside));
    EXPECT_FALSE(outside.library);
    EXPECT_EQ(outside.offset, 0u);
}

// A report names its images itself: a named pipe in the place of an image,
// or of the debug file its build-id points to, is never waited on (nobody
// may ever write to it), and the frame is named by its image and offset.
TEST_F(SymbolFiles, ANamedPipeInPlaceOfAnImageOrItsDebugFileIsNeverWaitedOn) {
    const std::string pipe = dir.file("libpiped.so");
    const auto debug = std::filesystem::path(dir.path()) / ".build-id" / buildId.substr(0, 2) /
                       (buildId.substr(2) + ".debug");
    std::filesystem::create_directories(debug.parent_path());
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(debug.c_str(), 0600), 0);
    BBXSymbolResolver::setDebugFileDirectory(dir.path());
    for (const std::string& image : {pipe, stripped}) {
        SCOPED_TRACE(image);
        auto resolver = resolverFor(dir, image, buildId);
        auto frame = BBXStackFrame::stackFrameWithAddress(kBase + functions[0].fileAddress);
        auto resolved = std::async(std::launch::async, [&] { resolver->updateStackFrame(frame, false); });
        if (resolved.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "symbolication waits on a named pipe";
            // A writer lets a waiting open through, so the test can end.
            for (const std::string& p : {pipe, debug.string()}) {
                const int writer = ::open(p.c_str(), O_RDWR | O_NONBLOCK);
                resolved.wait_for(std::chrono::seconds(5));
                if (writer >= 0) ::close(writer);
            }
        }
        resolved.wait();
        EXPECT_EQ(frame.library, std::filesystem::path(image).filename().string());
        if (image == pipe) {
            EXPECT_EQ(frame.offset, functions[0].fileAddress);
        }
    }
}

TEST_F(SymbolFiles, TheSystemDebugFilesAreStillSearchedWhenAFolderIsSet) {
    // The C library's own debug file, where the system has one installed.
    Dl_info info{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(&::gnu_get_libc_version), &info), 0);
    const std::string libc = info.dli_fname, libcId = buildIdOf(libc);
    ASSERT_EQ(libcId.size(), 40u);
    const std::string debug = "/usr/lib/debug/.build-id/" + libcId.substr(0, 2) + "/" + libcId.substr(2) + ".debug";
    if (!std::filesystem::exists(debug)) GTEST_SKIP() << "no debug file installed for " << libc;
    // A function of its own that it does not export.
    std::istringstream in(output("nm -S --defined-only '" + debug + "'"));
    std::string exported = output("nm -D --defined-only '" + libc + "'");
    std::uint64_t address = 0;
    std::string name;
    for (std::string line; std::getline(in, line) && !address;) {
        std::istringstream words(line);
        std::string at, size, type, symbol;
        if (!(words >> at >> size >> type >> symbol) || type != "t" || std::stoull(size, nullptr, 16) < 8) continue;
        if (symbol.find('.') != std::string::npos || exported.find(" " + symbol + "\n") != std::string::npos) continue;
        address = std::stoull(at, nullptr, 16);
        name = symbol;
    }
    ASSERT_NE(address, 0u);
    BBXSymbolResolver::setDebugFileDirectory(dir.path());
    auto resolver = resolverFor(dir, libc, libcId);
    auto frame = BBXStackFrame::stackFrameWithAddress(kBase + address + 1);
    ASSERT_TRUE(resolver->updateStackFrame(frame, false));
    EXPECT_EQ(frame.symbol, name);
    EXPECT_EQ(frame.offset, 1u);
}

// A file that puts every table at an odd offset, as a damaged or hostile
// image may: its headers and symbols are read where they are, and one whose
// program headers start at byte 1 of a 64-byte file names nothing. Under
// the undefined-behaviour sanitizer a read in place would be reported.
TEST_F(SymbolFiles, TablesAtOddOffsetsAreReadWithoutMisalignedAccess) {
    const std::string id = "00112233445566778899aabbccddeeff00112233";
    std::string file(64, '\0');
    auto put = [&](const auto& value) {
        file.append(reinterpret_cast<const char*>(&value), sizeof value);
        return file.size() - sizeof value;
    };
    file += '\0';
    Elf64_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_phoff = put(Elf64_Phdr{PT_LOAD, PF_R | PF_X, 0, 0, 0, 0x1000, 0x1000, 0x1000});
    eh.e_phnum = 1;
    const std::size_t note = put(Elf64_Nhdr{4, 20, NT_GNU_BUILD_ID});
    file.append("GNU\0", 4);
    for (std::size_t i = 0; i < id.size(); i += 2) file += static_cast<char>(std::stoi(id.substr(i, 2), nullptr, 16));
    const std::size_t strings = file.size();
    file.append("\0booth_odd_function\0", 20);
    const std::size_t symbols = put(Elf64_Sym{});
    put(Elf64_Sym{1, ELF64_ST_INFO(STB_GLOBAL, STT_FUNC), 0, 1, 0x400, 0x20});
    eh.e_shoff = put(Elf64_Shdr{});
    put(Elf64_Shdr{0, SHT_NOTE, 0, 0, note, 36, 0, 0, 4, 0});
    put(Elf64_Shdr{0, SHT_SYMTAB, 0, 0, symbols, 2 * sizeof(Elf64_Sym), 3, 1, 8, sizeof(Elf64_Sym)});
    put(Elf64_Shdr{0, SHT_STRTAB, 0, 0, strings, 20, 0, 0, 1, 0});
    eh.e_shnum = 4;
    ASSERT_EQ(eh.e_phoff % 2, 1u);
    ASSERT_EQ(eh.e_shoff % 2, 1u);
    std::memcpy(file.data(), &eh, sizeof eh);
    const std::string odd = dir.file("odd.so");
    std::ofstream(odd, std::ios::binary) << file;
    auto frame = BBXStackFrame::stackFrameWithAddress(kBase + 0x401);
    ASSERT_TRUE(resolverFor(dir, odd, id)->updateStackFrame(frame, false));
    EXPECT_EQ(frame.symbol, "booth_odd_function");
    EXPECT_EQ(frame.offset, 1u);

    eh.e_phoff = 1;
    eh.e_shoff = 0;
    std::ofstream(odd, std::ios::binary | std::ios::trunc) << std::string(reinterpret_cast<const char*>(&eh), 64);
    frame = BBXStackFrame::stackFrameWithAddress(kBase + 0x401);
    EXPECT_FALSE(resolverFor(dir, odd, id)->updateStackFrame(frame, false));
}

}  // namespace
