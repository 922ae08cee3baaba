// The call-frame rules computed for sampled addresses agree with readelf's
// interpretation of the same tables, for this program and for the C library.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestContext.h"
#include "kits/blackbox/BBXBinaryImages.h"
#include "kits/blackbox/crashtime/BBXDwarf.h"

namespace {

const char* const kRegisterNames[17] = {"rax", "rdx", "rcx", "rbx", "rsi", "rdi", "rbp", "rsp", "r8",
                                        "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "ra"};

struct Row {
    std::uint64_t location;
    std::string cfa;
    std::map<int, std::string> rules;
};

// Every row of every FDE that readelf prints for the file.
std::vector<Row> readelfRows(const std::string& path) {
    std::vector<Row> rows;
    FILE* pipe = ::popen(("readelf --debug-dump=frames-interp '" + path + "' 2>/dev/null").c_str(), "r");
    if (!pipe) return rows;
    std::array<char, 4096> buffer;
    std::vector<int> columns;
    bool inFde = false;
    while (std::fgets(buffer.data(), buffer.size(), pipe)) {
        std::string line = buffer.data();
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        if (words.empty()) continue;
        if (words.size() >= 4 && words[3] == "FDE") {
            inFde = true;
            continue;
        }
        if (words.size() >= 4 && words[3] == "CIE") {
            inFde = false;
            continue;
        }
        if (words[0] == "LOC") {
            columns.clear();
            for (std::size_t i = 2; i < words.size(); ++i) {
                int number = -1;
                for (int r = 0; r < 17; ++r)
                    if (words[i] == kRegisterNames[r]) number = r;
                columns.push_back(number);
            }
            continue;
        }
        if (!inFde || words.size() != columns.size() + 2 || words[0].size() != 16) continue;
        Row row{std::stoull(words[0], nullptr, 16), words[1], {}};
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (columns[i] >= 0) row.rules[columns[i]] = words[i + 2];
        rows.push_back(std::move(row));
    }
    ::pclose(pipe);
    return rows;
}

std::string describeCfa(const BBXDwarfRow& row) {
    if (row.cfaRegister == BBXDwarfCFAExpressionRegister) return "exp";
    char text[32];
    std::snprintf(text, sizeof text, "%s%+lld", row.cfaRegister == 16 ? "rip" : kRegisterNames[row.cfaRegister],
                  static_cast<long long>(row.cfaOffset));
    return text;
}

bool ruleMatches(const BBXDwarfRule& rule, const std::string& text) {
    char buffer[32];
    switch (rule.kind) {
        case BBXDwarfRuleSame: return text == "u" || text == "s";
        case BBXDwarfRuleUndefined: return text == "u";
        case BBXDwarfRuleOffset:
            std::snprintf(buffer, sizeof buffer, "c%+lld", static_cast<long long>(rule.value));
            return text == buffer;
        case BBXDwarfRuleValOffset:
            std::snprintf(buffer, sizeof buffer, "v%+lld", static_cast<long long>(rule.value));
            return text == buffer;
        case BBXDwarfRuleRegister: return rule.value < 16 && text == kRegisterNames[rule.value];
        case BBXDwarfRuleExpression: return text == "exp";
        case BBXDwarfRuleValExpression: return text == "vexp";
    }
    return false;
}

// Checks every `stride`-th row of the image.
void compareImage(const BBXLoadedImage& image, std::size_t stride, std::size_t atLeast) {
    auto rows = readelfRows(image.path);
    ASSERT_GE(rows.size(), atLeast) << image.path;
    ASSERT_NE(image.details.ehFrameHdr, 0u);
    std::size_t checked = 0;
    for (std::size_t i = 0; i < rows.size(); i += stride) {
        const Row& expected = rows[i];
        std::uint64_t pc = image.details.bias + expected.location;
        std::uint64_t fde = 0;
        BBXDwarfContext context;
        BBXDwarfRow row;
        ASSERT_TRUE(BBXDwarfFindFDE(image.details.ehFrameHdr, pc, &fde)) << std::hex << expected.location;
        ASSERT_TRUE(BBXDwarfFDEInitAtAddress(&context, fde));
        ASSERT_TRUE(BBXDwarfComputeRow(&context, pc, &row)) << std::hex << expected.location;
        EXPECT_EQ(describeCfa(row), expected.cfa) << image.path << " at " << std::hex << expected.location;
        for (const auto& [number, text] : expected.rules)
            EXPECT_TRUE(ruleMatches(row.registers[number], text))
                << image.path << " at " << std::hex << expected.location << ": " << kRegisterNames[number] << " is "
                << text << ", computed kind " << int(row.registers[number].kind) << " value " << std::dec
                << row.registers[number].value;
        ++checked;
    }
    EXPECT_GT(checked, 0u);
}

TEST(CfaRules, AgreeWithReadelfForThisProgramAndTheCLibrary) {
    blackboxtest::reportDir();
    auto images = BBXBinaryImageLoadedImages();
    ASSERT_FALSE(images.empty());
    compareImage(images.front(), 3, 100);
    bool sawLibc = false;
    for (const auto& image : images) {
        if (image.path.find("/libc.so.6") == std::string::npos) continue;
        sawLibc = true;
        compareImage(image, 7, 1000);
    }
    EXPECT_TRUE(sawLibc);
}

TEST(CfaRules, FindsNoFrameOutsideTheTable) {
    auto images = BBXBinaryImageLoadedImages();
    ASSERT_FALSE(images.empty());
    std::uint64_t fde = 0;
    EXPECT_FALSE(BBXDwarfFindFDE(images.front().details.ehFrameHdr, images.front().details.loadAddress, &fde));
    EXPECT_FALSE(BBXDwarfFindFDE(4096 * 3, 0x1234, &fde));
}

TEST(DwarfExpressions, EvaluateTheCommonOperations) {
    BBXThreadState state{};
    state.rsp = 0x1000;
    state.rip = 0x40000b;
    std::uint64_t result = 0;
    // The shape a procedure-linkage table uses: rsp + 8 + ((rip & 15) >= 11) << 3.
    const std::uint8_t plt[] = {11, 0x77, 8, 0x80, 0, 0x3f, 0x1a, 0x3b, 0x2a, 0x33, 0x24, 0x22};
    ASSERT_TRUE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(plt), &state, 0, &result));
    EXPECT_EQ(result, 0x1010u);
    // const8u <address of word>; deref_size 2
    std::uint64_t word = 0x1122334455667788, address = reinterpret_cast<std::uint64_t>(&word);
    std::uint8_t deref[12] = {11, 0x0e};
    std::memcpy(deref + 2, &address, 8);
    deref[10] = 0x94;
    deref[11] = 2;
    ASSERT_TRUE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(deref), &state, 0, &result));
    EXPECT_EQ(result, 0x7788u);
    deref[11] = 3;
    EXPECT_FALSE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(deref), &state, 0, &result));
    const std::uint8_t empty[] = {0};
    EXPECT_FALSE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(empty), &state, 0, &result));
    const std::uint8_t badRegister[] = {2, 0x92, 40, 0};
    EXPECT_FALSE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(badRegister), &state, 0, &result));
    const std::uint8_t unreadable[] = {3, 0x30 + 8, 0x06, 0x96};
    EXPECT_FALSE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(unreadable), &state, 0, &result));
    const std::uint8_t underflow[] = {2, 0x13, 0x13};
    EXPECT_FALSE(BBXDwarfEvalulateExpression(reinterpret_cast<std::uint64_t>(underflow), &state, 0, &result));
}

}  // namespace
