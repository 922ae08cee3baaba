// Hostile call-frame tables and expressions: whatever the bytes, a step ends
// (failed) in bounded time, since inside the signal handler a loop is a hung
// crash instead of a report.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "ChildProcess.h"
#include "kits/blackbox/crashtime/BBXDwarf.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void uleb(Bytes& out, std::uint64_t v) {
    do {
        std::uint8_t b = v & 0x7f;
        v >>= 7;
        out.push_back(static_cast<std::uint8_t>(b | (v ? 0x80 : 0)));
    } while (v);
}

void sleb(Bytes& out, std::int64_t v) {
    for (;;) {
        std::uint8_t b = static_cast<std::uint8_t>(v & 0x7f);
        v >>= 7;
        bool done = (v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40));
        out.push_back(static_cast<std::uint8_t>(b | (done ? 0 : 0x80)));
        if (done) return;
    }
}

void u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void u64(Bytes& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Runs each case in a copy of the running test, since only another process
// can stop one that loops for ever: every case must end in time, passing.
void eachEndsInTime(std::size_t count, const std::function<bool(std::size_t)>& check) {
    if (testsupport::ChildProcess::childMode()) {
        for (std::size_t i = 0; i < count; ++i)
            testsupport::ChildProcess::report(std::to_string(i) + (check(i) ? " passed" : " failed"));
        return;
    }
    testsupport::ChildProcess cases("cases");
    EXPECT_TRUE(cases.succeeds(std::chrono::seconds(60))) << cases.output();
    cases.readAllReports(std::chrono::seconds(10));
    const auto lines = cases.reportLines();
    for (std::size_t i = 0; i < count; ++i)
        EXPECT_TRUE(i < lines.size() && lines[i] == std::to_string(i) + " passed")
            << "case " << i << ": " << (i < lines.size() ? lines[i] : "did not end");
}

// The expression (length-prefixed) fails: it neither yields a value nor hangs.
bool expressionFails(Bytes body) {
    Bytes expression;
    uleb(expression, body.size());
    expression.insert(expression.end(), body.begin(), body.end());
    BBXThreadState state{};
    state.rsp = 0x10000;
    std::uint64_t result = 0;
    return !BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(expression.data()), &state, 0, &result);
}

TEST(DwarfHostileExpressions, BranchesBackwardsOrOutsideEndWithAFailedStep) {
    const std::vector<Bytes> expressions = {
        {0x2f, 0xfd, 0xff},        // skip -3: onto itself, for ever
        {0x31, 0x28, 0xfc, 0xff},  // lit1; bra -4: a loop that stays inside the expression
        // Branch targets before the start or past the end.
        {0x2f, 0x00, 0x80},
        {0x2f, 0x10, 0x00},
        {0x31, 0x28, 0x40, 0x00},
        Bytes(5000, 0x96),  // a long but finite run of operations beyond the step limit
    };
    eachEndsInTime(expressions.size(), [&](std::size_t i) { return expressionFails(expressions[i]); });
}

TEST(DwarfHostileExpressions, LegalBranchesStillWork) {
    BBXThreadState state{};
    std::uint64_t result = 0;
    // lit5; skip +1; lit7 (skipped): 5, the skip landing exactly on the end
    // of the expression being allowed too.
    const std::uint8_t forward[] = {5, 0x35, 0x2f, 0x01, 0x00, 0x37};
    ASSERT_TRUE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(forward), &state, 0, &result));
    EXPECT_EQ(result, 5u);
    const std::uint8_t toEnd[] = {4, 0x36, 0x2f, 0x00, 0x00};
    ASSERT_TRUE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(toEnd), &state, 0, &result));
    EXPECT_EQ(result, 6u);
    // Arithmetic at the edges of the signed range must not trap.
    const std::uint8_t divide[] = {14, 0x0e, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x11, 0x7f, 0x1b, 0x1f, 0x19};
    ASSERT_TRUE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(divide), &state, 0, &result));
    EXPECT_EQ(result, 0x8000000000000000u);
}

// A CIE (version 1, "zR", absolute FDE pointers, the given data alignment and
// initial instructions) and one FDE covering [0x1000, 0x2000) with `fde`.
struct Table {
    Bytes bytes;
    std::size_t fdeOffset = 0;

    Table(std::int64_t dataAlignment, const Bytes& cieInstructions, const Bytes& fdeInstructions) {
        Bytes cie;
        u32(cie, 0);  // CIE id
        cie.push_back(1);
        cie.insert(cie.end(), {'z', 'R', 0});
        uleb(cie, 1);
        sleb(cie, dataAlignment);
        cie.push_back(16);
        uleb(cie, 1);
        cie.push_back(0x00);  // absolute 8-byte pointers
        cie.insert(cie.end(), cieInstructions.begin(), cieInstructions.end());
        u32(bytes, static_cast<std::uint32_t>(cie.size()));
        bytes.insert(bytes.end(), cie.begin(), cie.end());
        fdeOffset = bytes.size();
        Bytes fde;
        u32(fde, static_cast<std::uint32_t>(fdeOffset + 4));  // back to the CIE from this field
        u64(fde, 0x1000);
        u64(fde, 0x1000);
        uleb(fde, 0);
        fde.insert(fde.end(), fdeInstructions.begin(), fdeInstructions.end());
        u32(bytes, static_cast<std::uint32_t>(fde.size()));
        bytes.insert(bytes.end(), fde.begin(), fde.end());
        u32(bytes, 0);
    }

    // The rules at 0x1800 could be computed.
    bool computes() const {
        BBXDwarfContext context;
        if (!BBXDwarfFDEInitAtAddress(&context, reinterpret_cast<std::uint64_t>(bytes.data()) + fdeOffset)) return false;
        BBXDwarfRow row;
        return BBXDwarfComputeRow(&context, 0x1800, &row);
    }
};

const Bytes kDefCfa = {0x0c, 7, 8};

TEST(DwarfHostileCallFrames, AWellFormedTableComputes) {
    Table table(-8, kDefCfa, {0x86, 2, 0x41, 0x0e, 16});
    EXPECT_TRUE(table.computes());
}

// Every rule that scales an operand by the data alignment refuses an entry
// whose product does not fit, instead of overflowing.
TEST(DwarfHostileCallFrames, OffsetsThatOverflowAreRefused) {
    const std::int64_t huge = INT64_MIN / 2;
    const std::vector<Bytes> instructions = {
        {0x86, 4},                          // offset r6
        {0x05, 6, 4},                       // offset_extended
        {0x11, 6, 4},                       // offset_extended_sf
        {0x12, 7, 4},                       // def_cfa_sf
        {0x13, 4},                          // def_cfa_offset_sf
        {0x14, 6, 4},                       // val_offset
        {0x15, 6, 4},                       // val_offset_sf
        {0x2f, 6, 4},                       // GNU_negative_offset_extended
    };
    for (const auto& i : instructions) {
        Table table(huge, kDefCfa, i);
        EXPECT_FALSE(table.computes()) << "opcode 0x" << std::hex << int(i[0]);
        Table fine(-8, kDefCfa, i);
        EXPECT_TRUE(fine.computes()) << "opcode 0x" << std::hex << int(i[0]);
    }
    // An unsigned operand beyond the signed range.
    Bytes big = {0x05, 6};
    uleb(big, 0x8000000000000001ull);
    EXPECT_FALSE(Table(-8, kDefCfa, big).computes());
}

TEST(DwarfHostileCallFrames, BlocksThatWrapBackwardsEndInTime) {
    // def_cfa_expression, expression and val_expression whose block length
    // wraps the reading position back onto the instruction itself.
    const std::vector<Bytes> heads = {Bytes{0x0f}, Bytes{0x10, 6}, Bytes{0x16, 6}};
    eachEndsInTime(heads.size(), [&](std::size_t i) {
        Bytes instructions = heads[i];
        uleb(instructions, ~std::uint64_t(0) - heads[i].size() - 9);
        return !Table(-8, kDefCfa, instructions).computes();
    });
}

}  // namespace
