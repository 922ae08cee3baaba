#pragma once
// Copies of the many_lib test library, each with its own build-id, for the
// tests of a program with more images than the crash kit's list holds.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace blackboxtest {

inline std::string manyLibName(int i) { return "libbbx_many_" + std::to_string(i) + ".so"; }

// Writes `count` copies into `folder` as libbbx_many_<i>.so.
inline void writeManyLibs(const std::string& folder, int count) {
    std::ifstream in(MANY_LIB_PATH, std::ios::binary);
    const std::string original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The build-id note: name size 4, descriptor 20, type 3, "GNU".
    const std::string note("\x04\0\0\0\x14\0\0\0\x03\0\0\0GNU\0", 16);
    const std::size_t id = original.find(note);
    ASSERT_NE(id, std::string::npos);
    for (int i = 0; i < count; ++i) {
        std::string copy = original;
        copy[id + 16] = static_cast<char>(i & 0xff);
        copy[id + 17] = static_cast<char>(i >> 8);
        std::ofstream(folder + "/" + manyLibName(i), std::ios::binary) << copy;
    }
}

}  // namespace blackboxtest
