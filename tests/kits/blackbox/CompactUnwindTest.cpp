// Compact unwind tables and Mach-O headers, built byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kits/blackbox/BBXMachO.h"
#include "kits/blackbox/crashtime/BBXUnwind.h"

namespace {

struct Bytes {
    std::vector<std::uint8_t> data;
    void u32(std::uint32_t v) { raw(&v, 4); }
    void u16(std::uint16_t v) { raw(&v, 2); }
    void u64(std::uint64_t v) { raw(&v, 8); }
    void raw(const void* p, std::size_t n) {
        auto* b = static_cast<const std::uint8_t*>(p);
        data.insert(data.end(), b, b + n);
    }
    void name(const char* s) {
        char field[16] = {};
        std::memcpy(field, s, std::min<std::size_t>(std::strlen(s), 16));
        raw(field, 16);
    }
};

constexpr std::uint64_t kLoad = 0x10000;

// One compressed page covering functions at 0x1000, 0x1100 and 0x1200 with
// encodings {common[0], page[0], page[1]}; a regular page at 0x3000.
std::vector<std::uint8_t> unwindInfo(std::uint32_t common, std::uint32_t first, std::uint32_t second) {
    Bytes b;
    b.u32(1);   // version
    b.u32(28);  // common encodings
    b.u32(1);
    b.u32(32);  // personalities
    b.u32(0);
    b.u32(32);  // index
    b.u32(3);
    b.u32(common);
    // index: [function offset, second-level page, lsda]
    b.u32(0x1000); b.u32(68); b.u32(0);
    b.u32(0x3000); b.u32(100); b.u32(0);
    b.u32(0x4000); b.u32(0); b.u32(0);
    // compressed page at 68
    b.u32(3);
    b.u16(12); b.u16(3); b.u16(24); b.u16(2);
    b.u32(0x000000);
    b.u32(0x01000000 | 0x100);
    b.u32(0x02000000 | 0x200);
    b.u32(first);
    b.u32(second);
    // regular page at 100
    b.u32(2);
    b.u32(0);
    return b.data;
}

struct CompactUnwind : ::testing::Test {
    std::uint64_t stack[16] = {};
    BBXUnwindCursor cursor{};
    BBXCompactUnwindContext context{};

    std::uint64_t sp() { return reinterpret_cast<std::uint64_t>(stack); }
};

TEST_F(CompactUnwind, LooksUpFunctionsAndTheirEncodings) {
    auto info = unwindInfo(0x01000000, 0x02010000, 0x04000123);
    ASSERT_TRUE(BBXCompactUnwindInit(&context, reinterpret_cast<std::uint64_t>(info.data()), 0, kLoad));
    BBXCompactUnwindResult r{};
    ASSERT_TRUE(BBXCompactUnwindLookup(&context, kLoad + 0x1050, &r));
    EXPECT_EQ(r.encoding, 0x01000000u);
    EXPECT_EQ(r.functionStart, kLoad + 0x1000);
    EXPECT_EQ(r.functionEnd, kLoad + 0x1100);
    ASSERT_TRUE(BBXCompactUnwindLookup(&context, kLoad + 0x1100, &r));
    EXPECT_EQ(r.encoding, 0x02010000u);
    ASSERT_TRUE(BBXCompactUnwindLookup(&context, kLoad + 0x2fff, &r));
    EXPECT_EQ(r.encoding, 0x04000123u);
    EXPECT_EQ(r.functionEnd, kLoad + 0x3000);  // the last entry ends at the next index entry
    EXPECT_FALSE(BBXCompactUnwindLookup(&context, kLoad + 0xfff, &r));
    EXPECT_FALSE(BBXCompactUnwindLookup(&context, kLoad + 0x3010, &r));  // a regular page is not read
    EXPECT_FALSE(BBXCompactUnwindLookup(&context, kLoad + 0x4000, &r));
    EXPECT_FALSE(BBXCompactUnwindLookup(&context, kLoad - 1, &r));

    auto badVersion = info;
    badVersion[0] = 2;
    EXPECT_FALSE(BBXCompactUnwindInit(&context, reinterpret_cast<std::uint64_t>(badVersion.data()), 0, kLoad));
    EXPECT_FALSE(BBXCompactUnwindInit(&context, 100, 0, kLoad));
}

TEST_F(CompactUnwind, EncodingZeroMeansNoInformation) {
    auto info = unwindInfo(0, 0, 0);
    ASSERT_TRUE(BBXCompactUnwindInit(&context, reinterpret_cast<std::uint64_t>(info.data()), 0, kLoad));
    BBXCompactUnwindResult r{};
    EXPECT_FALSE(BBXCompactUnwindLookup(&context, kLoad + 0x1000, &r));
}

TEST_F(CompactUnwind, FramelessImmediateRestoresSavedRegistersAndReturns) {
    // 32 bytes of stack, rbx and r12 saved (permutation 5 orders them r12, rbx).
    std::uint32_t encoding = 0x02000000 | (4u << 16) | (2u << 10) | 5u;
    auto info = unwindInfo(0, encoding, 0);
    ASSERT_TRUE(BBXCompactUnwindInit(&context, reinterpret_cast<std::uint64_t>(info.data()), 0, kLoad));
    stack[1] = 0x1212;  // first saved: r12
    stack[2] = 0xbbbb;  // second saved: rbx
    stack[3] = 0x7777000;  // return address
    cursor.state.rsp = sp();
    ASSERT_TRUE(BBXCompactUnwindLookupAndCompute(&context, &cursor, kLoad + 0x1100));
    EXPECT_EQ(cursor.state.rip, 0x7777000u);
    EXPECT_EQ(cursor.state.rsp, sp() + 32);
    EXPECT_EQ(cursor.state.r12, 0x1212u);
    EXPECT_EQ(cursor.state.rbx, 0xbbbbu);

    stack[3] = 12;  // a return address that cannot be
    cursor.state.rsp = sp();
    EXPECT_FALSE(BBXCompactUnwindLookupAndCompute(&context, &cursor, kLoad + 0x1100));
}

TEST_F(CompactUnwind, FramelessIndirectReadsTheStackSizeFromTheFunction) {
    // The function's subq immediate sits 4 bytes into a fake function body.
    std::uint8_t body[16] = {0x48, 0x81, 0xec, 0, 16, 0, 0, 0};
    std::uint64_t functionStart = reinterpret_cast<std::uint64_t>(body);
    BBXCompactUnwindResult r{0x03000000 | (4u << 16) | (1u << 13), functionStart, functionStart + 16};
    stack[2] = 0x5555000;  // 16 + 8 bytes of stack, return address last
    cursor.state.rsp = sp();
    ASSERT_TRUE(BBXCompactUnwindComputeRegisters(&context, &r, &cursor));
    EXPECT_EQ(cursor.state.rip, 0x5555000u);
    EXPECT_EQ(cursor.state.rsp, sp() + 24);
}

TEST_F(CompactUnwind, FrameBasedFollowsRbp) {
    stack[4] = sp() + 64;   // saved rbp
    stack[5] = 0x4444000;   // return address
    cursor.state.rsp = sp();
    cursor.state.rbp = sp() + 32;
    BBXCompactUnwindResult r{0x01000000, 0, 0};
    ASSERT_TRUE(BBXCompactUnwindComputeRegisters(&context, &r, &cursor));
    EXPECT_EQ(cursor.state.rip, 0x4444000u);
    EXPECT_EQ(cursor.state.rbp, sp() + 64);
    EXPECT_EQ(cursor.state.rsp, sp() + 48);
    r.encoding = 0x07000000;
    EXPECT_FALSE(BBXCompactUnwindComputeRegisters(&context, &r, &cursor));
}

std::vector<std::uint8_t> machO(bool encrypted) {
    Bytes cmds;
    int ncmds = 0;
    cmds.u32(0x1b); cmds.u32(24);  // LC_UUID
    for (int i = 0; i < 16; ++i) cmds.data.push_back(static_cast<std::uint8_t>(0xa0 + i));
    ++ncmds;
    cmds.u32(0x19); cmds.u32(72 + 2 * 80);  // LC_SEGMENT_64 __TEXT with two sections
    cmds.name("__TEXT"); cmds.u64(0x100000000); cmds.u64(0x5000); cmds.u64(0); cmds.u64(0x5000);
    cmds.u32(5); cmds.u32(5); cmds.u32(2); cmds.u32(0);
    for (auto [section, address] : {std::pair{"__eh_frame", 0x100004000ull}, std::pair{"__unwind_info", 0x100004800ull}}) {
        cmds.name(section); cmds.name("__TEXT"); cmds.u64(address); cmds.u64(0x100);
        for (int i = 0; i < 8; ++i) cmds.u32(0);
    }
    ++ncmds;
    cmds.u32(0x19); cmds.u32(72 + 80);  // __DATA with the crash information
    cmds.name("__DATA"); cmds.u64(0x100005000); cmds.u64(0x1000); cmds.u64(0x5000); cmds.u64(0x1000);
    cmds.u32(3); cmds.u32(3); cmds.u32(1); cmds.u32(0);
    cmds.name("__crash_info"); cmds.name("__DATA"); cmds.u64(0x100005100); cmds.u64(0x40);
    for (int i = 0; i < 8; ++i) cmds.u32(0);
    ++ncmds;
    cmds.u32(0x24); cmds.u32(16); cmds.u32(0x000a0d02); cmds.u32(0x000b0100);  // min 10.13.2, sdk 11.1.0
    ++ncmds;
    cmds.u32(0x2c); cmds.u32(24); cmds.u32(0); cmds.u32(0); cmds.u32(encrypted ? 1 : 0); cmds.u32(0);
    ++ncmds;
    Bytes b;
    b.u32(0xfeedfacf); b.u32(0x01000007); b.u32(3); b.u32(2);
    b.u32(static_cast<std::uint32_t>(ncmds)); b.u32(static_cast<std::uint32_t>(cmds.data.size())); b.u32(0); b.u32(0);
    b.raw(cmds.data.data(), cmds.data.size());
    return b.data;
}

TEST(MachO, ReadsImageDetailsFromLoadCommands) {
    auto bytes = machO(true);
    BBXMachOImageDetails d;
    ASSERT_TRUE(BBXMachOReadImageDetails(bytes.data(), bytes.size(), 0x100000000, 0x1000, &d));
    EXPECT_STREQ(d.uuid, "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
    EXPECT_TRUE(d.encrypted);
    EXPECT_EQ(d.textSize, 0x5000u);
    EXPECT_EQ(d.ehFrame, 0x100005000u);
    EXPECT_EQ(d.unwindInfo, 0x100005800u);
    EXPECT_EQ(d.crashInfo, 0x100006100u);
    EXPECT_EQ(BBXMachOVersionString(d.minimum), "10.13.2");
    EXPECT_EQ(BBXMachOVersionString(d.builtSDK), "11.1.0");

    auto plain = machO(false);
    ASSERT_TRUE(BBXMachOReadImageDetails(plain.data(), plain.size(), 0, 0, &d));
    EXPECT_FALSE(d.encrypted);
}

TEST(MachO, RefusesDamagedHeaders) {
    auto bytes = machO(false);
    BBXMachOImageDetails d;
    EXPECT_FALSE(BBXMachOReadImageDetails(bytes.data(), 20, 0, 0, &d));
    auto cut = bytes;
    cut.resize(cut.size() - 10);  // commands run past the end
    EXPECT_FALSE(BBXMachOReadImageDetails(cut.data(), cut.size(), 0, 0, &d));
    auto badSize = bytes;
    badSize[32 + 4] = 4;  // a command shorter than its own header
    badSize[32 + 5] = 0;
    EXPECT_FALSE(BBXMachOReadImageDetails(badSize.data(), badSize.size(), 0, 0, &d));
    auto elf = bytes;
    elf[0] = 0x7f;
    EXPECT_FALSE(BBXMachOReadImageDetails(elf.data(), elf.size(), 0, 0, &d));
}

}  // namespace
