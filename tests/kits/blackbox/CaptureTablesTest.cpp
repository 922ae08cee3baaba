// The fixed tables of crash capture and the exception-port record.
#include <gtest/gtest.h>
#include <signal.h>

#include "TempDir.h"
#include "kits/blackbox/BBXRecords.h"
#include "kits/blackbox/crashtime/BBXCapture.h"

namespace {

TEST(CaptureTables, SignalsNamesAndMasks) {
    int order[BBXHandledSignalCount];
    BBXSignalEnumerateHandledSignals([](int position, int signal, void* data) { static_cast<int*>(data)[position] = signal; },
                                     order);
    const int expected[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP};
    for (int i = 0; i < BBXHandledSignalCount; ++i) EXPECT_EQ(order[i], expected[i]);
    EXPECT_STREQ(BBXSignalNameForNumber(SIGBUS), "SIGBUS");
    EXPECT_STREQ(BBXSignalNameForNumber(SIGUSR1), "UNKNOWN");
    EXPECT_STREQ(BBXSignalCodeNameForNumber(SIGABRT), "ABORT");
    EXPECT_EQ(BBXSignalCodeNameForNumber(SIGSEGV), nullptr);
    std::uint32_t mask = 0;
    for (int s : expected) mask |= BBXMachExceptionMaskForSignal(s);
    EXPECT_EQ(mask, 4u | 64u | 1024u | 8u | 2u);
    EXPECT_EQ(BBXMachExceptionMaskForSignal(SIGUSR1), 0u);
    EXPECT_STREQ(BBXExceptionTypeName(2), "c++");
    EXPECT_STREQ(BBXExceptionTypeName(9), "unknown");
}

TEST(CaptureTables, ExceptionNamesAndCodeNames) {
    EXPECT_STREQ(BBXMachExceptionCodeName(1, 2), "KERN_PROTECTION_FAILURE");
    EXPECT_EQ(BBXMachExceptionCodeName(1, 3), nullptr);
    EXPECT_STREQ(BBXMachExceptionCodeName(3, 8), "EXC_I386_SSEEXTERR");
    EXPECT_EQ(BBXMachExceptionCodeName(3, 9), nullptr);
    EXPECT_STREQ(BBXMachExceptionCodeName(6, 14), "EXC_I386_PGFLT");
    EXPECT_EQ(BBXMachExceptionCodeName(6, 8), nullptr);
    EXPECT_STREQ(BBXMachExceptionCodeName(6, 33), "EXC_I386_ENDPERR");
    EXPECT_EQ(BBXMachExceptionCodeName(6, 34), nullptr);
    EXPECT_EQ(BBXMachExceptionName(5), nullptr);
    EXPECT_STREQ(BBXMachExceptionName(12), "EXC_GUARD");
}

TEST(CaptureTables, ExceptionPortRecord) {
    testsupport::TempDir dir;
    BBXFile file;
    ASSERT_TRUE(BBXFileInitWithPath(&file, dir.file("mach_exception.bbxrecord").c_str(), false));
    const std::uint64_t codes[] = {1, 0x10};
    BBXMachExceptionWriteRecord(&file, 1, codes, 2, 3, 1700000000);
    BBXMachExceptionWriteRecord(&file, 5, nullptr, 0, 0, 1);
    BBXFileClose(&file);
    auto sections = BBXFileReadSections(dir.file("mach_exception.bbxrecord"), false);
    ASSERT_TRUE(sections && sections->size() == 2);
    const auto& r = (*sections)[0]["mach_exception"];
    EXPECT_EQ(r["codes"], nlohmann::json({1, 16}));
    EXPECT_EQ(r["name"], "EXC_BAD_ACCESS");
    EXPECT_EQ(r["code_name"], "KERN_INVALID_ADDRESS");
    EXPECT_EQ(r["original_ports"], 3);
    EXPECT_TRUE((*sections)[1]["mach_exception"]["name"].is_null());
    EXPECT_TRUE((*sections)[1]["mach_exception"]["codes"].empty());
}

}  // namespace
