#include "kits/blackbox/BBXRecords.h"

#include <sys/stat.h>
#include <unistd.h>

#include "base/Files.h"
#include "kits/blackbox/crashtime/BBXContext.h"

std::optional<std::vector<nlohmann::json>> BBXFileReadSections(const std::string& path, bool removeWhenUnreadable,
                                                               const BBXSectionTransform& transform) {
    struct stat st;
    std::optional<std::string> text;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) text = base::readFile(path);
    if (!text) {
        BBXSDKLog("%s: Unable to read file %s\n", __func__, path.c_str());
        if (removeWhenUnreadable) ::unlink(path.c_str());
        return std::nullopt;
    }
    std::vector<nlohmann::json> sections;
    std::size_t start = 0;
    while (start <= text->size()) {
        std::size_t end = text->find('\n', start);
        if (end == std::string::npos) end = text->size();
        std::string_view line(text->data() + start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        auto value = nlohmann::json::parse(line, nullptr, false);
        if (value.is_discarded() || !value.is_object()) continue;
        if (transform) {
            auto replaced = transform(value);
            if (replaced) sections.push_back(std::move(*replaced));
        } else {
            sections.push_back(std::move(value));
        }
    }
    return sections;
}
