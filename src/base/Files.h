#pragma once
// Atomic file writes and the user's folders.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace base {

// Writes to a temporary name in the same folder, flushes, then renames into
// place: a reader sees the old file or the new one, never half of either.
bool writeFileAtomically(const std::string& path, std::string_view data, std::string* error = nullptr);
// The same with the new file's permission bits (before the umask), e.g.
// 0600 for a file that holds credentials.
bool writeFileAtomically(const std::string& path, std::string_view data, unsigned mode, std::string* error);

// What readFile reads at most unless told otherwise: more than any photo the
// booth keeps, and a bound on what a damaged or hostile file can cost.
inline constexpr std::size_t kReadFileLimit = std::size_t{256} << 20;
// Why readFile gave nothing, in words for a log line ("it is a folder, not a file").
struct ReadFailure {
    bool missing = false;  // nothing by that name (or a link to nothing)
    std::string why;
};
// A regular file opened for reading, without blocking on whatever else may
// stand in its place, and its size then; -1 (with errno set) and `failure`
// filled otherwise.
int openRegularFile(const std::string& path, ReadFailure* failure = nullptr, std::size_t* size = nullptr);
// The whole of a regular file of at most `limit` bytes. Anything else in its
// place (a folder, a named pipe, a link to a device) is refused unopened, and
// the file is opened without blocking: no file can hang the caller or feed
// it bytes without end.
std::optional<std::string> readFile(const std::string& path, ReadFailure* failure = nullptr,
                                    std::size_t limit = kReadFileLimit);
// Writes all `size` bytes to `fd`, going on after short writes and EINTR.
// Returns the count written: less than `size` only on an error, which errno
// then names (EIO when the system wrote nothing and said nothing).
std::size_t writeFully(int fd, const void* data, std::size_t size);
// Why what stands at `path` is not a regular file, in words for a log line
// ("it is a named pipe, not a file"); nothing when it is one or when nothing
// is there. With `followLinks` false a symbolic link is itself the answer.
std::optional<std::string> whyNotARegularFile(const std::string& path, bool followLinks = true);
// Why what stands at `path` is no folder, in words for a log line ("it is a
// file, not a folder"); nothing when it is a folder or a link to one, or
// when nothing is there.
std::optional<std::string> whyNotAFolder(const std::string& path);
// Copies the regular file at `from` (or the file a link there leads to) to
// `to`, where nothing stands yet, through a temporary name beside it: `to`
// appears whole or not at all, with the mode of `from`. `from` is opened without blocking and read
// only when it is a regular file, so no pipe, socket or device can hang the
// copy or feed it without end. False with `why` in words for a log line.
// `keepGoing` hears the bytes written so far as the copy goes; false from it
// stops the copy there, leaving nothing at `to`.
bool copyRegularFile(const std::string& from, const std::string& to, std::string* why = nullptr,
                     const std::function<bool(std::uint64_t written)>& keepGoing = {});
// Moves a damaged file aside as "<path>.corrupt-<time>" (with "-<n>" added
// when that name is taken: an earlier copy is never replaced) and returns
// the new name; empty when it could not be moved.
std::string setAside(const std::string& path);
// Removes the temporary files that writeFileAtomically left beside `path`
// in writes that ended without finishing (a writer killed inside a write).
// A writer holds a lock on its temporary file for as long as it writes, in
// whichever process or container it runs: a file whose lock is held is a
// write under way and stays.
void removeAbandonedTemporaries(const std::string& path);

std::string homeDir();
std::string configHome();     // $XDG_CONFIG_HOME or ~/.config
std::string dataHome();       // $XDG_DATA_HOME or ~/.local/share ("Application Support")
std::string cacheHome();      // $XDG_CACHE_HOME or ~/.cache ("Caches")
std::string documentsDir();   // XDG documents folder, else ~/Documents
std::string picturesDir();    // XDG pictures folder, else ~/Pictures

}  // namespace base
