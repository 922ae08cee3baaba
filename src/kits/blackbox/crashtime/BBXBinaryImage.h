#pragma once
// The list of loaded images in the crash context, and what crash-time code
// can learn of an ELF image through checked reads.
#include <stdint.h>

#include "BBXContext.h"
#include "BBXFile.h"

struct BBXImageDetails {
    char uuid[65];  // the GNU build-id in lowercase hex, "" when the image has none
    uint64_t loadAddress;  // the first loaded byte (the ELF header)
    uint64_t textSize;     // up to the end of the last executable segment
    uint64_t ehFrameHdr;   // 0 when absent
    uint64_t bias;         // what was added to the file's addresses
};

// From the image's program headers (bias, address and count as the dynamic
// linker reports them).
bool BBXBinaryImageReadELF(uint64_t bias, uint64_t programHeaders, uint32_t count, BBXImageDetails* details);
// From an ELF header mapped at `header`.
bool BBXBinaryImageReadELFHeader(uint64_t bias, uint64_t header, BBXImageDetails* details);

// Claims a free slot; false when the list is full or the context is missing.
// `recordNumber` is that of the image's load record (0: already on disk).
bool BBXBinaryImageAdd(const BBXImageDetails* details, uint64_t recordNumber = 0);
bool BBXBinaryImageRemove(uint64_t loadAddress);
// Every record up to `recordNumber` is on disk.
void BBXBinaryImageRecordsWritten(uint64_t recordNumber);
// Around a rewrite of the image log by the calling thread; the crash path
// waits (briefly) for one under way on another thread before it appends.
void BBXBinaryImageLogRewriteStarted();
void BBXBinaryImageLogRewriteEnded();
void BBXBinaryImageWaitForLogRewrite();
// The slot of `loadAddress` has a load record still waiting to be written.
bool BBXBinaryImageRecordIsPending(uint64_t loadAddress);
bool BBXBinaryImageIsTracked(uint64_t loadAddress);
bool BBXBinaryImageSafeFindImageForAddress(uint64_t address, BBXImageEntry* entry);
bool BBXBinaryImageHasUnwindInfo(const BBXImageEntry* entry);

// The "load" or "unload" record.
void BBXBinaryImageWriteRecord(BBXFile* file, bool loaded, const char* path, const BBXImageDetails* details);
// Crash time: walks the dynamic linker's list of loaded objects and adds the
// images not tracked yet (opened since the last scan), writing their load
// records to `file` when it is open, and the records of tracked images that
// the binary-images queue has not written yet. Returns how many were added.
int BBXBinaryImageScanLinkMap(BBXFile* file);
