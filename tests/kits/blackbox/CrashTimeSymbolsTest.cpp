// The crash-time library may call only what is safe inside a signal handler.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> symbols(const std::string& command) {
    std::set<std::string> out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    std::array<char, 512> line;
    while (std::fgets(line.data(), line.size(), pipe)) {
        std::istringstream in(line.data());
        std::string word, last;
        while (in >> word) last = word;
        if (!last.empty() && last.back() != ':') out.insert(last);
    }
    ::pclose(pipe);
    return out;
}

// Async-signal-safe calls (and the runtime pieces the terminate handler needs).
const std::set<std::string> kAllowed = {
    "_GLOBAL_OFFSET_TABLE_", "__errno_location", "__stack_chk_fail",
    // memory and strings
    "memcpy", "memmove", "memset", "memcmp", "strlen",
    // files and descriptors
    "open", "open64", "close", "read", "write", "unlink", "fstat", "fstat64", "lseek", "lseek64", "pipe2",
    "readlink", "statvfs", "statvfs64", "fsync",
    // process, threads, time
    "getpid", "syscall", "clone", "clock_gettime", "nanosleep", "sysconf", "_exit", "abort", "raise",
    // memory mappings and checked reads
    "mmap", "mmap64", "munmap", "mprotect", "process_vm_readv",
    // signals
    "sigaction", "sigaltstack", "sigemptyset", "sigfillset", "sigaddset", "sigprocmask", "pthread_sigmask",
    // the dynamic linker's debugger interface, read with checked reads
    "_r_debug",
    // the terminate handler: the current exception's type, rethrown and caught
    "_ZSt13set_terminatePFvvE", "_ZSt13get_terminatev", "__cxa_current_exception_type", "__cxa_rethrow",
    "__cxa_begin_catch", "__cxa_end_catch", "__gxx_personality_v0", "_Unwind_Resume", "_ZTIPKc", "_ZTIPc",
    "_ZTISt9exception", "_ZTIPSt9exception", "_ZTIPKSt9exception", "_ZTINSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE",
    "_ZNKSt9exception4whatEv", "__cxa_get_exception_ptr", "_ZTVN10__cxxabiv117__class_type_infoE",
    "_ZTVN10__cxxabiv119__pointer_type_infoE",
};

// A sanitizer build's instrumentation calls into its own runtime, which is
// written to run inside signal handlers; a normal build never names these.
bool isSanitizerHook(const std::string& s) {
    for (const char* prefix : {"__asan_", "__ubsan_", "__tsan_", "__sanitizer_", "__sancov_"})
        if (s.rfind(prefix, 0) == 0) return true;
    return false;
}

TEST(CrashTimeLibrary, CallsOnlyAsyncSignalSafeFunctions) {
    std::string lib = std::string(FLASHWREN_BINARY_DIR) + "/src/kits/blackbox/crashtime/libcrashtime.a";
    auto undefined = symbols("nm -u " + lib);
    auto defined = symbols("nm --defined-only " + lib);
    ASSERT_FALSE(undefined.empty()) << "cannot list " << lib;
    for (const auto& s : undefined) {
        if (defined.count(s)) continue;  // one object of the library calling another
        if (isSanitizerHook(s)) continue;
        EXPECT_TRUE(kAllowed.count(s)) << "crash-time code calls " << s;
    }
}

}  // namespace
