#pragma once
// Reading record files back: one JSON object per complete line.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using BBXSectionTransform = std::function<std::optional<nlohmann::json>(const nlohmann::json&)>;

// The parsed records of a file. Lines that do not parse (a line cut short by
// a crash, the empty piece after the last newline) are skipped. An
// unreadable file gives no list (and is removed when asked).
std::optional<std::vector<nlohmann::json>> BBXFileReadSections(const std::string& path, bool removeWhenUnreadable,
                                                               const BBXSectionTransform& transform = {});
