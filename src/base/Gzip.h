#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace base {

std::optional<std::string> gzipCompress(std::string_view data, int level = 6);
std::optional<std::string> gzipDecompress(std::string_view data);
// Streams a file into a gzip file (written atomically); false on any error.
bool gzipFile(const std::string& source, const std::string& destination);

}  // namespace base
