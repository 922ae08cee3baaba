#pragma once
// What the fuzz targets share: a private scratch folder and writing the
// input into a file there, for readers that take a path.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace fuzzsupport {

inline std::string_view bytes(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// One folder per process, under the system's temporary folder, removed at
// exit. Held on the heap: the exit handler runs after static destructors.
inline const std::string& scratch() {
    static const std::string* dir = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "flashwren-fuzz-XXXXXX").string();
        if (!::mkdtemp(templ.data())) std::abort();
        auto* made = new std::string(templ);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratch(), ec);
        });
        return made;
    }();
    return *dir;
}

// Empties the folder and writes `content` as `name` inside it; returns its path.
inline std::string freshFile(const std::string& name, std::string_view content) {
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(scratch(), ec)) std::filesystem::remove_all(entry.path(), ec);
    std::string path = scratch() + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(content.data(), static_cast<std::streamsize>(content.size()));
    return path;
}

}  // namespace fuzzsupport
