// Symbols for recorded addresses, demangling and the serialised frames.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "TestContext.h"
#include "UnwindChain.h"
#include "kits/blackbox/BBXBinaryImages.h"
#include "kits/blackbox/BBXContextSetup.h"
#include "kits/blackbox/BBXRecords.h"
#include "kits/blackbox/BBXSymbolication.h"
#include "kits/blackbox/crashtime/BBXCapture.h"
#include "kits/blackbox/crashtime/BBXUnwind.h"

namespace symbolication_test {
struct Widget {};
template <class T, int N>
struct Box {};
namespace {
// Not exported: only the file's own symbol table names it.
__attribute__((noinline)) int hiddenHelper(int x) {
    asm volatile("" : "+r"(x));
    return x * 3 + 1;
}
}  // namespace
int callHidden(int x) { return hiddenHelper(x); }
const void* hiddenHelperAddress() { return reinterpret_cast<const void*>(&hiddenHelper); }
}  // namespace symbolication_test

namespace {

std::string addr2line(std::uint64_t fileAddress) {
    char command[512];
    std::snprintf(command, sizeof command, "addr2line -f -C -e /proc/%d/exe 0x%llx", static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(fileAddress));
    FILE* p = ::popen(command, "r");
    char line[1024] = {};
    if (p && !std::fgets(line, sizeof line, p)) line[0] = 0;
    if (p) ::pclose(p);
    return std::string(line, std::strcspn(line, "\n"));
}

std::shared_ptr<BBXSymbolResolver> resolverForThisRun() {
    BBXBinaryImagesQueue().drain();
    auto resolver = std::make_shared<BBXSymbolResolver>();
    EXPECT_TRUE(resolver->loadBinaryImagesFromFile(blackboxtest::reportDir() + "/binary_images.bbxrecord"));
    return resolver;
}

TEST(Symbolication, AgreesWithAddr2lineForExportedHiddenAndStaticFunctions) {
    blackboxtest::reportDir();
    auto resolver = resolverForThisRun();
    auto images = BBXBinaryImageLoadedImages();
    ASSERT_FALSE(images.empty());
    std::uint64_t bias = images.front().details.bias;
    symbolication_test::callHidden(1);
    const void* functions[] = {symbolication_test::hiddenHelperAddress(),
                               reinterpret_cast<const void*>(&symbolication_test::callHidden),
                               unwind_O2::withAllocaAddress(), reinterpret_cast<const void*>(&BBXUnwindNextFrame),
                               reinterpret_cast<const void*>(&BBXFileReadSections)};
    auto thread = std::make_shared<BBXThreadArray>(1);
    for (const void* f : functions) (*thread)[0].push_back(BBXStackFrame::stackFrameWithAddress(reinterpret_cast<std::uint64_t>(f) + 1));
    BBXSymbolicationOperation symbolicate;
    symbolicate.threadArray = thread;
    symbolicate.symbolResolver = resolver;
    symbolicate.main();
    BBXDemangleOperation demangle;
    demangle.threadArray = thread;
    demangle.main();
    for (const auto& frame : (*thread)[0]) {
        ASSERT_TRUE(frame.symbol) << std::hex << frame.address - bias;
        EXPECT_EQ(*frame.symbol, addr2line(frame.address - bias));
        EXPECT_EQ(frame.offset, 1u);
        EXPECT_EQ(frame.library, "test_blackbox");
    }
}

TEST(Symbolication, StepsBackOnlyForReturnAddresses) {
    blackboxtest::reportDir();
    auto resolver = resolverForThisRun();
    auto start = reinterpret_cast<std::uint64_t>(&symbolication_test::callHidden);
    // A thread's own PC at a function's first byte is that function.
    auto own = BBXStackFrame::stackFrameWithAddress(start);
    ASSERT_TRUE(resolver->updateStackFrame(own, false));
    EXPECT_EQ(BBXDemangleOperation::demangleSymbol(own.symbol->c_str()), "symbolication_test::callHidden(int)");
    EXPECT_EQ(own.offset, 0u);
    // A return address there belongs to whatever ends just before it (here
    // only padding: nothing).
    auto returned = BBXStackFrame::stackFrameWithAddress(start);
    bool resolved = resolver->updateStackFrame(returned, true);
    EXPECT_TRUE(!resolved || (returned.symbol != own.symbol && returned.offset > 0));

    auto zero = BBXStackFrame::stackFrame();
    EXPECT_FALSE(resolver->updateStackFrame(zero, true));
    auto outside = BBXStackFrame::stackFrameWithAddress(16);
    EXPECT_FALSE(resolver->updateStackFrame(outside));
    EXPECT_FALSE(BBXSymbolResolver().loadBinaryImagesFromFile(blackboxtest::reportDir() + "/missing"));
}

TEST(Symbolication, SerialisedFramesEscapeHostileSymbols) {
    testsupport::TempDir dir;
    auto threads = std::make_shared<BBXThreadArray>(2);
    auto f = BBXStackFrame::stackFrameWithSymbol("operator\"\"_x(char const*)");
    f.offset = 12;
    f.library = "lib \"odd\".so";
    (*threads)[0].push_back(f);
    (*threads)[1].push_back(BBXStackFrame::stackFrameWithAddress(99));
    BBXSerializeSymbolicatedFramesOperation serialise;
    serialise.threadArray = threads;
    serialise.outputPath = dir.file("signal.bbxrecord.symbolicated");
    serialise.main();
    auto sections = BBXFileReadSections(serialise.outputPath, false);
    ASSERT_TRUE(sections && sections->size() == 1);
    const auto& t = (*sections)[0]["threads"];
    EXPECT_EQ(t[0][0]["symbol"], "operator\"\"_x(char const*)");
    EXPECT_EQ(t[0][0]["library"], "lib \"odd\".so");
    EXPECT_EQ(t[0][0]["offset"], 12);
    EXPECT_TRUE(t[1][0]["symbol"].is_null());
    EXPECT_EQ(t[1][0]["offset"], 0);
}

TEST(Symbolication, CancellingSkipsTheRestOfAThread) {
    auto threads = std::make_shared<BBXThreadArray>(2, std::vector<BBXStackFrame>(3));
    struct Counting : BBXThreadArrayOperation {
        int seen = 0;
        void main() override {
            enumerateFramesWithBlock([&](BBXStackFrame&, std::size_t) {
                if (++seen == 2) cancel();
            });
        }
    } op;
    op.threadArray = threads;
    op.main();
    EXPECT_EQ(op.seen, 3);  // two of the first thread, then one of the second
}

TEST(Demangling, ByPrefix) {
    EXPECT_EQ(BBXDemangleOperation::demangleSymbol("_ZN3foo3barEv"), "foo::bar()");
    EXPECT_EQ(BBXDemangleOperation::demangleSymbol("__ZN3foo3barEv_block_invoke_2"), "foo::bar()_block_invoke_2");
    EXPECT_EQ(BBXDemangleOperation::demangleSymbol("_TFC3Foo3barfT_T_"), std::nullopt);
    EXPECT_EQ(BBXDemangleOperation::demangleSymbol("main"), std::nullopt);
    EXPECT_EQ(BBXDemangleOperation::demangleSymbol(nullptr), std::nullopt);
    EXPECT_EQ(BBXDemangleOperation::demangleSymbol("_Znot valid"), std::nullopt);
    EXPECT_EQ(BBXDemangleOperation::demangleBlockInvokeCppSymbol("__Z_block_invoke"), std::nullopt);
}

// The crash-time reader of type names agrees with the runtime's demangler.
TEST(Demangling, TypeNamesWithoutTheHeapAgreeWithTheRuntime) {
    const char* names[] = {
        typeid(int).name(),
        typeid(const char*).name(),
        typeid(std::runtime_error).name(),
        typeid(std::string).name(),
        typeid(std::map<std::string, std::vector<int>>).name(),
        typeid(symbolication_test::Widget*).name(),
        typeid(symbolication_test::Box<symbolication_test::Widget, -3>).name(),
        typeid(std::vector<const symbolication_test::Widget*>).name(),
        typeid(unsigned long long).name(),
    };
    for (const char* mangled : names) {
        int status = 0;
        char* expected = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
        ASSERT_EQ(status, 0);
        char out[512];
        EXPECT_TRUE(BBXDemangleTypeName(mangled, out, sizeof out)) << mangled;
        EXPECT_STREQ(out, expected) << mangled;
        std::free(expected);
    }
    char small[8];
    EXPECT_FALSE(BBXDemangleTypeName(typeid(std::runtime_error).name(), small, sizeof small));
    EXPECT_STREQ(small, "");
    char out[64];
    EXPECT_FALSE(BBXDemangleTypeName("N3foo", out, sizeof out));
    EXPECT_FALSE(BBXDemangleTypeName("S9_", out, sizeof out));
}

}  // namespace
