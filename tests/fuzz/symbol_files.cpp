// Image files and separate debug files as the next launch reads them to name
// a report's frames: a plugin that has since been replaced or damaged can
// hold anything. The input is both the image a report names and the debug
// file its build-id points to; a few frames in it are named and demangled.
// The seeds carry the build-id below.
// fuzz-links: blackbox
#include "FuzzSupport.h"
#include "kits/blackbox/BBXSymbolication.h"

namespace {

constexpr const char* kBuildId = "5eed0f1a5b00770000c0ffee00000000f1a5b007";
constexpr std::uint64_t kBase = 0x7f0000400000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzzsupport::bytes(data, size);
    const std::string image = fuzzsupport::freshFile("plugin.so", input);
    const std::string id = kBuildId;
    const std::string debug = fuzzsupport::scratch() + "/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
    std::filesystem::create_directories(std::filesystem::path(debug).parent_path());
    std::ofstream(debug, std::ios::binary).write(input.data(), static_cast<std::streamsize>(input.size()));
    nlohmann::json load = {{"load", {{"path", image}, {"uuid", id}, {"base", kBase}, {"size", 0x10000}}}};
    std::ofstream(fuzzsupport::scratch() + "/binary_images.bbxrecord") << load.dump() << "\n";

    BBXSymbolResolver::setDebugFileDirectory(fuzzsupport::scratch());
    BBXSymbolResolver resolver;
    if (!resolver.loadBinaryImagesFromFile(fuzzsupport::scratch() + "/binary_images.bbxrecord")) return 0;
    // Each frame looks the build-id up among the images loaded here first,
    // which is slow: a few addresses, at the seeds' functions and around.
    auto threads = std::make_shared<BBXThreadArray>(1);
    for (std::uint64_t offset : {0x0, 0x2c0, 0x2c1, 0x2c6, 0x2cd, 0x2e0, 0x1000, 0xffff}) {
        auto frame = BBXStackFrame::stackFrameWithAddress(kBase + offset);
        resolver.updateStackFrame(frame, (offset & 1) != 0);
        (*threads)[0].push_back(frame);
    }
    BBXDemangleOperation demangle;
    demangle.threadArray = threads;
    demangle.main();
    return 0;
}
