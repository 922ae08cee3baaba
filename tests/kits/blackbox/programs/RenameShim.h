#pragma once
// A hold on renameat2 for the programs linked with --wrap=renameat2 (the test
// program and the kit program): every call made by the kit goes through here
// first. With BBX_TEST_RENAME_FLAGS_REFUSED set in the environment, a rename
// with flags fails with EINVAL, as on a filesystem that takes none (NFS,
// some FUSE filesystems).
#include <functional>
#include <optional>

namespace testsupport {

// Sees each call first; an answer (0, or -1 with errno set) is the call's
// result, nullopt lets it go on. An empty hook lets every call through.
using RenameHook = std::function<std::optional<int>(const char* from, const char* to, unsigned flags)>;
void setRenameHook(RenameHook hook);
// The call as the system makes it, flags refused or not as above.
int renameThrough(const char* from, const char* to, unsigned flags);

}  // namespace testsupport
