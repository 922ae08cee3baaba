#pragma once
// Record files: one JSON object per line, produced byte by byte without heap
// use so that a signal handler can write them.
#include <stddef.h>
#include <stdint.h>

constexpr size_t BBXFileBufferSize = 1000;

// An open record file. A plain value, embedded where it is used; the optional
// buffer lives inside it so that buffered files need no heap either.
struct BBXFile {
    int32_t fd;
    int32_t depth;
    uint8_t needComma;
    uint8_t buffered;
    uint64_t fill;
    uint64_t written;
    char buffer[BBXFileBufferSize];
};

bool BBXFileInitWithPathMode(BBXFile* file, const char* path, bool append, bool buffered);
bool BBXFileInitWithPath(BBXFile* file, const char* path, bool buffered);
bool BBXFileClose(BBXFile* file);
bool BBXFileCloseWithOffset(BBXFile* file, uint64_t* size);
bool BBXFileIsOpen(const BBXFile* file);
// Writes what the buffer holds.
bool BBXFileFlush(BBXFile* file);

void BBXFileWriteSectionStart(BBXFile* file, const char* key);
void BBXFileWriteSectionEnd(BBXFile* file);
void BBXFileWriteHashStart(BBXFile* file);
void BBXFileWriteHashEnd(BBXFile* file);
void BBXFileWriteHashKey(BBXFile* file, const char* key);
void BBXFileWriteArrayStart(BBXFile* file);
void BBXFileWriteArrayEnd(BBXFile* file);

void BBXFileWriteHashEntryUint64(BBXFile* file, const char* key, uint64_t value);
void BBXFileWriteHashEntryInt64(BBXFile* file, const char* key, int64_t value);
// A null string is written as null.
void BBXFileWriteHashEntryString(BBXFile* file, const char* key, const char* value);
// A string with its length (need not be terminated); null is written as null.
void BBXFileWriteHashEntryNSString(BBXFile* file, const char* key, const char* value, size_t length);
// Nothing at all for a null or empty string.
void BBXFileWriteHashEntryNSStringUnlessNilOrEmpty(BBXFile* file, const char* key, const char* value,
                                                   size_t length);
void BBXFileWriteHashEntryHexEncodedString(BBXFile* file, const char* key, const void* bytes,
                                           size_t length);
void BBXFileWriteHashEntryBoolean(BBXFile* file, const char* key, bool value);

void BBXFileWriteArrayEntryUint64(BBXFile* file, uint64_t value);
void BBXFileWriteArrayEntryString(BBXFile* file, const char* value);
void BBXFileWriteArrayEntryHexEncodedString(BBXFile* file, const void* bytes, size_t length);

// Low level: raw bytes through the buffer (or straight to the descriptor).
void BBXFileWriteBytes(BBXFile* file, const void* bytes, size_t length);
// A quoted, escaped string: quote, backslash and control bytes are escaped,
// bytes that are not valid UTF-8 become \u00XX.
void BBXFileWriteQuotedString(BBXFile* file, const char* value, size_t length);
