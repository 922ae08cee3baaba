#include "base/Gzip.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/Files.h"

namespace base {

std::optional<std::string> gzipCompress(std::string_view data, int level) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
    std::string out;
    out.resize(deflateBound(&zs, static_cast<uLong>(data.size())) + 32);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&zs, Z_FINISH);
    size_t produced = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    out.resize(produced);
    return out;
}

std::optional<std::string> gzipDecompress(std::string_view data) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, 15 + 32) != Z_OK) return std::nullopt;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buffer[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof buffer;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
        out.append(buffer, sizeof buffer - zs.avail_out);
        if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) break;  // truncated input
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

bool gzipFile(const std::string& source, const std::string& destination) {
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(source.c_str(), "rb"), std::fclose);
    if (!in) return false;
    std::string temp = destination + ".tmp";
    gzFile out = gzopen(temp.c_str(), "wb6");
    if (!out) return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        size_t n = std::fread(buffer, 1, sizeof buffer, in.get());
        if (n > 0 && gzwrite(out, buffer, static_cast<unsigned>(n)) != static_cast<int>(n)) {
            ok = false;
            break;
        }
        if (n < sizeof buffer) {
            ok = !std::ferror(in.get());
            break;
        }
    }
    ok = (gzclose(out) == Z_OK) && ok;
    if (!ok || std::rename(temp.c_str(), destination.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace base
