// The crash kit's record files, which a crash can cut anywhere and whose
// lines are read back as JSON.
// fuzz-links: blackbox
#include "FuzzSupport.h"
#include "kits/blackbox/BBXRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string path = fuzzsupport::freshFile("exception.bbxrecord", fuzzsupport::bytes(data, size));
    auto sections = BBXFileReadSections(path, false, [](const nlohmann::json& section) -> std::optional<nlohmann::json> {
        if (!section.is_object()) return std::nullopt;
        return section;
    });
    if (sections)
        for (const auto& s : *sections) (void)s.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return 0;
}
