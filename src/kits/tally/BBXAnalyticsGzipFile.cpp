#include "kits/tally/BBXAnalyticsGzipFile.h"
#include "base/Files.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr std::size_t kChunk = 5120;

bool writeAll(int fd, const unsigned char* p, std::size_t n) { return base::writeFully(fd, p, n) == n; }

ssize_t readSome(int fd, unsigned char* p, std::size_t n) {
    // Fill the buffer fully unless the file ends, so "end of source" is known.
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}
}  // namespace

int BBXAnalyticsGzipFile(int sourceFd, int targetFd) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    // Default level, deflate, gzip wrapper (15 + 16), memory level 4, default strategy.
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 4, Z_DEFAULT_STRATEGY) != Z_OK) return -1;
    unsigned char in[kChunk];
    unsigned char out[kChunk];
    int rc = Z_OK;
    bool failed = false;
    int flush = Z_NO_FLUSH;
    do {
        ssize_t n = readSome(sourceFd, in, sizeof in);
        if (n < 0) {
            failed = true;
            break;
        }
        flush = static_cast<std::size_t>(n) < sizeof in ? Z_FINISH : Z_NO_FLUSH;
        zs.next_in = in;
        zs.avail_in = static_cast<uInt>(n);
        // Run deflate until it has taken all the input and has room to spare:
        // incompressible data can produce more than one buffer of output.
        do {
            zs.next_out = out;
            zs.avail_out = sizeof out;
            rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR) {
                failed = true;
                break;
            }
            std::size_t produced = sizeof out - zs.avail_out;
            if (produced > 0 && !writeAll(targetFd, out, produced)) {
                failed = true;
                break;
            }
        } while (zs.avail_out == 0);
        if (failed) break;
        if (zs.avail_in != 0) {
            failed = true;
            break;
        }
    } while (flush != Z_FINISH);
    deflateEnd(&zs);
    return (!failed && rc == Z_STREAM_END) ? 0 : -1;
}
