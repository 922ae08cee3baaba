// The program's dlopen passes through the kit: what a library opens is still
// decided by the library's own search folders and its own "$ORIGIN".
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <string>

namespace {

TEST(LoaderCalls, ALibraryOpensWhatItsOwnSearchFinds) {
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

}  // namespace
