#include "BBXFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BBXContext.h"

namespace {

// Writes everything, retrying interrupted and short writes.
bool writeAll(BBXFile* file, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(file->fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        file->written += static_cast<uint64_t>(n);
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void openValue(BBXFile* file, char bracket) {
    if (file->needComma) BBXFileWriteBytes(file, ",", 1);
    BBXFileWriteBytes(file, &bracket, 1);
    file->depth++;
    file->needComma = 0;
}

void closeValue(BBXFile* file, char bracket) {
    BBXFileWriteBytes(file, &bracket, 1);
    int32_t before = file->depth;
    if (file->depth > 0) file->depth--;
    if (before > 1) file->needComma = 1;
}

void separator(BBXFile* file) {
    if (file->needComma) BBXFileWriteBytes(file, ",", 1);
}

void writeKey(BBXFile* file, const char* key) {
    separator(file);
    BBXFileWriteQuotedString(file, key, BBXStringLength(key));
    BBXFileWriteBytes(file, ":", 1);
}

void writeUnsigned(BBXFile* file, uint64_t value) {
    char buffer[21];
    const char* digits = BBXFormatUnsigned(value, 10, buffer);
    BBXFileWriteBytes(file, digits, static_cast<size_t>(buffer + 20 - digits));
}

void writeSigned(BBXFile* file, int64_t value) {
    if (value < 0) {
        BBXFileWriteBytes(file, "-", 1);
        writeUnsigned(file, static_cast<uint64_t>(0) - static_cast<uint64_t>(value));
    } else {
        writeUnsigned(file, static_cast<uint64_t>(value));
    }
}

void writeHex(BBXFile* file, const void* bytes, size_t length) {
    const unsigned char* in = static_cast<const unsigned char*>(bytes);
    char chunk[33];
    BBXFileWriteBytes(file, "\"", 1);
    while (length > 0) {
        size_t n = length < 16 ? length : 16;
        BBXBytesToHexString(in, n, chunk);
        BBXFileWriteBytes(file, chunk, n * 2);
        in += n;
        length -= n;
    }
    BBXFileWriteBytes(file, "\"", 1);
}

// Length of the valid UTF-8 sequence starting at s (0 when invalid).
size_t utf8SequenceLength(const unsigned char* s, size_t available) {
    unsigned char c = s[0];
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (need >= available) return 0;
    for (size_t i = 1; i <= need; ++i) {
        unsigned char b = s[i];
        unsigned char l = i == 1 ? lo : 0x80, h = i == 1 ? hi : 0xBF;
        if (b < l || b > h) return 0;
    }
    return need + 1;
}

}  // namespace

bool BBXFileInitWithPathMode(BBXFile* file, const char* path, bool append, bool buffered) {
    if (!file) {
        BBXSDKLog("%s: Error: file is null\n", __func__);
        return false;
    }
    file->fd = -1;
    file->depth = 0;
    file->needComma = 0;
    file->buffered = buffered ? 1 : 0;
    file->fill = 0;
    file->written = 0;
    if (!path) {
        BBXSDKLog("%s: Error: Unable to open file %s\n", __func__, "(null)");
        return false;
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    int fd;
    do {
        fd = ::open(path, flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        BBXSDKLog("%s: Error: Unable to open file %s\n", __func__, path);
        return false;
    }
    if (append) {
        struct stat st;
        if (::fstat(fd, &st) == 0) file->written = static_cast<uint64_t>(st.st_size);
    }
    file->fd = fd;
    return true;
}

bool BBXFileInitWithPath(BBXFile* file, const char* path, bool buffered) {
    return BBXFileInitWithPathMode(file, path, true, buffered);
}

bool BBXFileIsOpen(const BBXFile* file) { return file && file->fd >= 0; }

bool BBXFileFlush(BBXFile* file) {
    if (!BBXFileIsOpen(file) || file->fill == 0) return true;
    bool ok = writeAll(file, file->buffer, file->fill);
    file->fill = 0;
    return ok;
}

bool BBXFileCloseWithOffset(BBXFile* file, uint64_t* size) {
    if (!file) return false;
    if (file->fd < 0) {
        BBXSDKLog("%s: Error: file descriptor invalid\n", __func__);
        return false;
    }
    BBXFileFlush(file);
    if (size) *size = file->written;
    int rc = ::close(file->fd);
    file->fd = -1;
    file->depth = 0;
    file->needComma = 0;
    file->fill = 0;
    file->written = 0;
    if (rc != 0 && errno != EINTR) {
        BBXSDKLog("%s: Error: Unable to close file %s\n", __func__, BBXErrnoText(errno));
        return false;
    }
    return true;
}

bool BBXFileClose(BBXFile* file) { return BBXFileCloseWithOffset(file, nullptr); }

void BBXFileWriteBytes(BBXFile* file, const void* bytes, size_t length) {
    if (!BBXFileIsOpen(file) || length == 0) return;
    const char* in = static_cast<const char*>(bytes);
    if (!file->buffered) {
        writeAll(file, in, length);
        return;
    }
    constexpr size_t capacity = BBXFileBufferSize - 1;
    while (length > 0) {
        if (file->fill + length < BBXFileBufferSize) {
            BBXMemoryCopy(file->buffer + file->fill, in, length);
            file->fill += length;
            return;
        }
        size_t room = capacity - file->fill;
        BBXMemoryCopy(file->buffer + file->fill, in, room);
        file->fill += room;
        in += room;
        length -= room;
        BBXFileFlush(file);
    }
}

void BBXFileWriteQuotedString(BBXFile* file, const char* value, size_t length) {
    static const char hexDigits[] = "0123456789abcdef";
    const unsigned char* s = reinterpret_cast<const unsigned char*>(value);
    BBXFileWriteBytes(file, "\"", 1);
    size_t runStart = 0, i = 0;
    while (i < length) {
        unsigned char c = s[i];
        size_t seq = utf8SequenceLength(s + i, length - i);
        bool plain = seq > 1 || (seq == 1 && c >= 0x20 && c != '"' && c != '\\');
        if (plain) {
            i += seq;
            continue;
        }
        if (i > runStart) BBXFileWriteBytes(file, s + runStart, i - runStart);
        if (c == '"' || c == '\\') {
            char esc[2] = {'\\', static_cast<char>(c)};
            BBXFileWriteBytes(file, esc, 2);
        } else {
            char esc[6] = {'\\', 'u', '0', '0', hexDigits[c >> 4], hexDigits[c & 15]};
            BBXFileWriteBytes(file, esc, 6);
        }
        ++i;
        runStart = i;
    }
    if (i > runStart) BBXFileWriteBytes(file, s + runStart, i - runStart);
    BBXFileWriteBytes(file, "\"", 1);
}

void BBXFileWriteSectionStart(BBXFile* file, const char* key) {
    openValue(file, '{');
    BBXFileWriteQuotedString(file, key, BBXStringLength(key));
    BBXFileWriteBytes(file, ":", 1);
}

void BBXFileWriteSectionEnd(BBXFile* file) {
    closeValue(file, '}');
    BBXFileWriteBytes(file, "\n", 1);
    file->needComma = 0;
}

void BBXFileWriteHashStart(BBXFile* file) { openValue(file, '{'); }
void BBXFileWriteHashEnd(BBXFile* file) { closeValue(file, '}'); }
void BBXFileWriteHashKey(BBXFile* file, const char* key) {
    writeKey(file, key);
    file->needComma = 0;
}
void BBXFileWriteArrayStart(BBXFile* file) { openValue(file, '['); }
void BBXFileWriteArrayEnd(BBXFile* file) { closeValue(file, ']'); }

void BBXFileWriteHashEntryUint64(BBXFile* file, const char* key, uint64_t value) {
    writeKey(file, key);
    writeUnsigned(file, value);
    file->needComma = 1;
}

void BBXFileWriteHashEntryInt64(BBXFile* file, const char* key, int64_t value) {
    writeKey(file, key);
    writeSigned(file, value);
    file->needComma = 1;
}

void BBXFileWriteHashEntryString(BBXFile* file, const char* key, const char* value) {
    BBXFileWriteHashEntryNSString(file, key, value, value ? BBXStringLength(value) : 0);
}

void BBXFileWriteHashEntryNSString(BBXFile* file, const char* key, const char* value, size_t length) {
    writeKey(file, key);
    if (value)
        BBXFileWriteQuotedString(file, value, length);
    else
        BBXFileWriteBytes(file, "null", 4);
    file->needComma = 1;
}

void BBXFileWriteHashEntryNSStringUnlessNilOrEmpty(BBXFile* file, const char* key, const char* value,
                                                   size_t length) {
    if (!value || length == 0) return;
    BBXFileWriteHashEntryNSString(file, key, value, length);
}

void BBXFileWriteHashEntryHexEncodedString(BBXFile* file, const char* key, const void* bytes,
                                           size_t length) {
    writeKey(file, key);
    if (bytes)
        writeHex(file, bytes, length);
    else
        BBXFileWriteBytes(file, "null", 4);
    file->needComma = 1;
}

void BBXFileWriteHashEntryBoolean(BBXFile* file, const char* key, bool value) {
    writeKey(file, key);
    if (value)
        BBXFileWriteBytes(file, "true", 4);
    else
        BBXFileWriteBytes(file, "false", 5);
    file->needComma = 1;
}

void BBXFileWriteArrayEntryUint64(BBXFile* file, uint64_t value) {
    separator(file);
    writeUnsigned(file, value);
    file->needComma = 1;
}

void BBXFileWriteArrayEntryString(BBXFile* file, const char* value) {
    separator(file);
    if (value)
        BBXFileWriteQuotedString(file, value, BBXStringLength(value));
    else
        BBXFileWriteBytes(file, "null", 4);
    file->needComma = 1;
}

void BBXFileWriteArrayEntryHexEncodedString(BBXFile* file, const void* bytes, size_t length) {
    separator(file);
    if (bytes)
        writeHex(file, bytes, length);
    else
        BBXFileWriteBytes(file, "null", 4);
    file->needComma = 1;
}
