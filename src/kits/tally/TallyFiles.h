#pragma once
// Small file-system helpers shared by the analytics kit's storage.
#include <string>
#include <system_error>

#include "base/Error.h"

namespace tally {

base::Error posixError(int err, const std::string& what);
base::Error fsError(const std::error_code& ec, const std::string& what);
inline void setError(base::Error* out, base::Error e) {
    if (out) *out = std::move(e);
}
// Flushes a file or folder to disk; false when it cannot be opened or synced.
bool syncPath(const std::string& path, bool directory);

}  // namespace tally
