// The program's dlopen passes through the kit: what a library opens is still
// decided by the library's own search folders and its own "$ORIGIN", and the
// image records follow every library opened and closed.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <cstdio>
#include <vector>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "ManyLibs.h"
#include "TempDir.h"
#include "TestContext.h"
#include "base/Error.h"
#include "kits/blackbox/BBXContextSetup.h"
#include "kits/blackbox/BBXRecords.h"
#include "kits/blackbox/BBXSymbolication.h"
#include "kits/blackbox/BBXUserLogging.h"
#include "kits/blackbox/crashtime/BBXBinaryImage.h"

namespace {

// A sanitizer's runtime puts its own dlopen in front of the C library's and
// so becomes the caller of every dlopen: libraries lose their own search
// folders, with or without the kit. There the kit can only match it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerOpens = true;
#else
constexpr bool kSanitizerOpens = false;
#endif

std::string probe(const char* program, const std::string& reports, const std::string& caller, const char* name) {
    const std::string command = std::string("'") + program + "' '" + reports + "' '" + caller + "' '" + name + "' 2>&1";
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[512];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
        ::pclose(p);
    }
    return out;
}

TEST(LoaderCalls, ALibraryOpensWhatItsOwnSearchFinds) {
    if (kSanitizerOpens) GTEST_SKIP() << "the sanitizer's dlopen searches as itself";
    void* caller = ::dlopen(LOADER_CALLER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(caller, nullptr) << ::dlerror();
    auto open = reinterpret_cast<void* (*)(const char*)>(::dlsym(caller, "loaderCallerOpen"));
    ASSERT_NE(open, nullptr);
    // Not along the program's own search...
    EXPECT_EQ(::dlopen("libbbx_loader_sibling.so", RTLD_NOW | RTLD_LOCAL), nullptr);
    // ...but along the library's RUNPATH, and below its folder.
    void* byName = open("libbbx_loader_sibling.so");
    ASSERT_NE(byName, nullptr) << ::dlerror();
    auto sibling = reinterpret_cast<int (*)()>(::dlsym(byName, "loaderSibling"));
    ASSERT_NE(sibling, nullptr);
    EXPECT_EQ(sibling(), 35);
    void* byOrigin = open("$ORIGIN/deps/libbbx_loader_sibling.so");
    EXPECT_EQ(byOrigin, byName);
    EXPECT_EQ(open("${ORIGIN}/deps/libbbx_loader_sibling.so"), byName);
    // A name the loader cannot find still fails with the loader's message.
    EXPECT_EQ(open("libbbx_no_such_library.so"), nullptr);
    const char* error = ::dlerror();
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error).find("libbbx_no_such_library.so"), std::string::npos);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(::dlclose(byName), 0);
    EXPECT_EQ(::dlclose(caller), 0);
}

// A child forked while another thread holds the kit's image lock (inside the
// kit's dlopen, before the loader's) still opens a library, and the parent
// goes on recording the libraries it opens after the fork.
TEST(LoaderCalls, AChildForkedWhileTheKitsLockIsHeldOpensALibrary) {
    testsupport::TempDir reports;
    EXPECT_EQ(probe(BLACKBOX_FORK_HOLDER_PATH, reports.path(), MANY_LIB_PATH, UNWIND_PLUGIN_PATH),
              "opened\nparent records it\n");
}

// The C library's answer, from a program without the kit, is the kit's answer.
TEST(LoaderCalls, EachCaseOpensWhatTheCLibraryOpens) {
    const std::string cases = LOADER_CASES_DIR;
    // A 32-bit library first along the caller's RUNPATH: the loader passes over it.
    std::filesystem::create_directories(cases + "/wrongclass");
    std::string stub(4096, '\0');
    stub.replace(0, 7, "\x7f" "ELF\x01\x01\x01");  // 32-bit, little-endian, version 1
    std::ofstream(cases + "/wrongclass/libbbx_case_class.so", std::ios::binary | std::ios::trunc) << stub;

    struct Case {
        const char* caller;
        const char* name;
        const char* plainAnswer;  // part of what the C library answers
    };
    for (const Case& c : {Case{"libloader_case_plain.so", "libbbx_case_target.so", "cannot open shared object file"},
                          Case{"libloader_case_runpath.so", "libbbx_case_class.so", "/good/libbbx_case_class.so"},
                          Case{"libloader_case_runpath.so", "libbbx_case_hw.so", "/hw/"}}) {
        testsupport::TempDir reports;
        const std::string plain = probe(LOADER_PROBE_PLAIN_PATH, reports.path(), cases + "/" + c.caller, c.name);
        if (!kSanitizerOpens) {
            EXPECT_NE(plain.find(c.plainAnswer), std::string::npos) << plain;
        }
        EXPECT_EQ(probe(LOADER_PROBE_KIT_PATH, reports.path(), cases + "/" + c.caller, c.name), plain) << c.name;
    }
}

// The paths of the image records of one kind ("load" or "unload") in `file`.
std::vector<std::string> imageRecordPaths(const std::string& file, const char* kind) {
    std::vector<std::string> paths;
    auto records = BBXFileReadSections(file, false, [&](const nlohmann::json& j) -> std::optional<nlohmann::json> {
        if (!j.contains(kind)) return std::nullopt;
        return j[kind];
    });
    for (const auto& record : records.value_or(std::vector<nlohmann::json>{}))
        if (record.contains("path") && record["path"].is_string()) paths.push_back(record["path"]);
    return paths;
}

int recordErrorHere() {
    BBXUserLoggingRecordError(base::Error("ManyLibs", 550, "from the 550th library"));
    return 0;
}

// A plugin host with more libraries than the crash context's list holds,
// none of them crashing: the records still name every library, and slots
// that unloads free go to libraries that found the list full.
TEST(LoaderCalls, LibrariesBeyondTheImageListAreRecordedAndTakeTheSlotsUnloadsFree) {
    const std::string report = blackboxtest::reportDir();
    testsupport::TempDir folder;
    constexpr int count = 600;
    blackboxtest::writeManyLibs(folder.path(), count);
    std::vector<void*> libraries;
    for (int i = 0; i < count; ++i) {
        libraries.push_back(::dlopen(folder.file(blackboxtest::manyLibName(i)).c_str(), RTLD_NOW | RTLD_LOCAL));
        ASSERT_NE(libraries.back(), nullptr) << ::dlerror();
    }
    auto address = [&](int i) { return reinterpret_cast<std::uint64_t>(::dlsym(libraries[i], "manyLibCrash")); };
    BBXImageEntry entry;
    auto listed = [&](int i) { return BBXBinaryImageSafeFindImageForAddress(address(i), &entry); };

    // An error recorded from within the 550th library names that frame.
    auto call = reinterpret_cast<int (*)(int (*)())>(::dlsym(libraries[549], "manyLibCall"));
    ASSERT_NE(call, nullptr);
    call(recordErrorHere);
    BBXLoggingQueue().drain();
    BBXBinaryImagesQueue().drain();
    ASSERT_FALSE(listed(549)) << "the list should be full by now";
    const std::string images = report + "/binary_images.bbxrecord";
    BBXSymbolResolver resolver;
    ASSERT_TRUE(resolver.loadBinaryImagesFromFile(images));
    auto errors = BBXFileReadSections(report + "/errors_a.bbxrecord", false,
                                      [](const nlohmann::json& j) -> std::optional<nlohmann::json> {
                                          if (!j.contains("error")) return std::nullopt;
                                          return j["error"];
                                      }).value_or(std::vector<nlohmann::json>{});
    ASSERT_FALSE(errors.empty());
    std::vector<std::string> named;
    for (const auto& pc : errors.back().at("stacktrace")) {
        auto frame = BBXStackFrame::stackFrameWithAddress(pc.get<std::uint64_t>());
        if (resolver.updateStackFrame(frame)) named.push_back(frame.symbol.value_or("?") + " in " + frame.library.value_or("?"));
    }
    EXPECT_EQ(std::count(named.begin(), named.end(), "manyLibCall in " + blackboxtest::manyLibName(549)), 1)
        << ::testing::PrintToString(named);

    // The last one, beyond the list, is recorded when it goes.
    ASSERT_FALSE(listed(count - 1));
    ASSERT_EQ(::dlclose(libraries[count - 1]), 0);
    BBXBinaryImagesQueue().drain();
    const auto unloaded = imageRecordPaths(images, "unload");
    EXPECT_EQ(std::count(unloaded.begin(), unloaded.end(), folder.file(blackboxtest::manyLibName(count - 1))), 1)
        << "no unload record of the last library";

    // Half of them closed: every one still open has a slot now.
    for (int i = 0; i < count / 2; ++i) ASSERT_EQ(::dlclose(libraries[i]), 0);
    int unlisted = 0;
    for (int i = count / 2; i < count - 1; ++i) unlisted += !listed(i);
    EXPECT_EQ(unlisted, 0);
    for (int i = count / 2; i < count - 1; ++i) ::dlclose(libraries[i]);
}

}  // namespace
