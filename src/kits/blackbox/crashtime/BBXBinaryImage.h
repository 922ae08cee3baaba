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
bool BBXBinaryImageAdd(const BBXImageDetails* details);
bool BBXBinaryImageRemove(uint64_t loadAddress);
bool BBXBinaryImageIsTracked(uint64_t loadAddress);
bool BBXBinaryImageSafeFindImageForAddress(uint64_t address, BBXImageEntry* entry);
bool BBXBinaryImageHasUnwindInfo(const BBXImageEntry* entry);

// The "load" or "unload" record.
void BBXBinaryImageWriteRecord(BBXFile* file, bool loaded, const char* path, const BBXImageDetails* details);
// Crash time: walks the dynamic linker's list of loaded objects and adds the
// images not tracked yet (opened since the last scan), writing their load
// records to `file` when it is open. Returns how many were added.
int BBXBinaryImageScanLinkMap(BBXFile* file);
