#include "BBXBinaryImage.h"

#include <elf.h>
#include <link.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

bool readBuildId(uint64_t note, uint64_t size, BBXImageDetails* details) {
    uint64_t end = note + size;
    while (note + sizeof(Elf64_Nhdr) <= end) {
        Elf64_Nhdr header;
        if (!BBXReadMemory(note, &header, sizeof header)) return false;
        uint64_t name = note + sizeof header;
        uint64_t desc = name + ((header.n_namesz + 3) & ~3u);
        uint64_t next = desc + ((header.n_descsz + 3) & ~3u);
        if (next > end) return false;
        char owner[4] = {};
        if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 && BBXReadMemory(name, owner, 4) &&
            owner[0] == 'G' && owner[1] == 'N' && owner[2] == 'U' && owner[3] == 0) {
            unsigned char id[32];
            uint32_t n = header.n_descsz < sizeof id ? header.n_descsz : static_cast<uint32_t>(sizeof id);
            if (!BBXReadMemory(desc, id, n)) return false;
            BBXBytesToHexString(id, n, details->uuid);
            return true;
        }
        note = next;
    }
    return false;
}

}  // namespace

bool BBXBinaryImageReadELF(uint64_t bias, uint64_t programHeaders, uint32_t count, BBXImageDetails* details) {
    if (!details || programHeaders < 4096 || count == 0 || count > 256) return false;
    BBXMemoryZero(details, sizeof *details);
    details->bias = bias;
    uint64_t lowest = ~static_cast<uint64_t>(0), textEnd = 0;
    for (uint32_t i = 0; i < count; ++i) {
        Elf64_Phdr ph;
        if (!BBXReadMemory(programHeaders + i * sizeof ph, &ph, sizeof ph)) return false;
        if (ph.p_type == PT_LOAD) {
            uint64_t start = bias + (ph.p_vaddr & ~(ph.p_align > 1 ? ph.p_align - 1 : 0));
            if (start < lowest) lowest = start;
            if ((ph.p_flags & PF_X) && bias + ph.p_vaddr + ph.p_memsz > textEnd) textEnd = bias + ph.p_vaddr + ph.p_memsz;
        } else if (ph.p_type == PT_GNU_EH_FRAME) {
            details->ehFrameHdr = bias + ph.p_vaddr;
        } else if (ph.p_type == PT_NOTE && details->uuid[0] == 0) {
            readBuildId(bias + ph.p_vaddr, ph.p_memsz, details);
        }
    }
    if (lowest == ~static_cast<uint64_t>(0) || textEnd <= lowest) return false;
    details->loadAddress = lowest;
    details->textSize = textEnd - lowest;
    return true;
}

bool BBXBinaryImageReadELFHeader(uint64_t bias, uint64_t header, BBXImageDetails* details) {
    Elf64_Ehdr eh;
    if (!BBXReadMemory(header, &eh, sizeof eh)) return false;
    if (eh.e_ident[EI_MAG0] != ELFMAG0 || eh.e_ident[EI_MAG1] != ELFMAG1 || eh.e_ident[EI_MAG2] != ELFMAG2 ||
        eh.e_ident[EI_MAG3] != ELFMAG3 || eh.e_ident[EI_CLASS] != ELFCLASS64)
        return false;
    return BBXBinaryImageReadELF(bias, header + eh.e_phoff, eh.e_phnum, details);
}

bool BBXBinaryImageAdd(const BBXImageDetails* details, uint64_t recordNumber) {
    BBXWritableContext* w = bbxWritableContext;
    if (!w) {
        BBXSDKLog("%s: Error: Writable context is NULL\n", __func__);
        return false;
    }
    if (!details || details->loadAddress == 0) return false;
    for (int i = 0; i < BBXImageListCount; ++i) {
        BBXImageEntry* e = &w->images[i];
        uint64_t expected = 0;
        if (!__atomic_compare_exchange_n(&e->loadAddress, &expected, details->loadAddress, false, __ATOMIC_SEQ_CST,
                                         __ATOMIC_SEQ_CST))
            continue;
        __atomic_store_n(&e->textSize, details->textSize, __ATOMIC_RELEASE);
        __atomic_store_n(&e->ehFrame, details->ehFrameHdr, __ATOMIC_RELEASE);
        __atomic_store_n(&e->unwindInfo, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&e->crashInfo, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&w->imageRecords[i], recordNumber, __ATOMIC_RELEASE);
        return true;
    }
    // Said once: a program past the list's size goes on opening libraries,
    // each of which is still recorded (only its unwind tables go unused).
    static int said = 0;
    if (!__atomic_exchange_n(&said, 1, __ATOMIC_RELAXED))
        BBXSDKLog("%s: Error: Unable to track a %s node %p\n", __func__, "loaded",
                  reinterpret_cast<void*>(details->loadAddress));
    return false;
}

bool BBXBinaryImageRemove(uint64_t loadAddress) {
    BBXWritableContext* w = bbxWritableContext;
    if (!w) {
        BBXSDKLog("%s: Error: Writable context is NULL\n", __func__);
        return false;
    }
    for (int i = 0; i < BBXImageListCount; ++i) {
        BBXImageEntry* e = &w->images[i];
        if (__atomic_load_n(&e->loadAddress, __ATOMIC_ACQUIRE) != loadAddress) continue;
        __atomic_store_n(&e->textSize, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&e->ehFrame, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&e->unwindInfo, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&e->crashInfo, 0, __ATOMIC_RELEASE);
        // Whoever claims the slot next counts as unwritten until it says otherwise.
        __atomic_store_n(&w->imageRecords[i], ~static_cast<uint64_t>(0), __ATOMIC_RELEASE);
        uint64_t expected = loadAddress;
        if (!__atomic_compare_exchange_n(&e->loadAddress, &expected, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            BBXSDKLog("%s: Error: Failed to swap during image unload\n", __func__);
            return false;
        }
        return true;
    }
    BBXSDKLog("%s: Error: Unable to track a %s node %p\n", __func__, "unloaded", reinterpret_cast<void*>(loadAddress));
    return false;
}

void BBXBinaryImageRecordsWritten(uint64_t recordNumber) {
    BBXWritableContext* w = bbxWritableContext;
    // Only the binary-images queue writes it; a rewrite may have gone past
    // the records still queued behind it.
    if (w && recordNumber > __atomic_load_n(&w->imageRecordsWritten, __ATOMIC_ACQUIRE))
        __atomic_store_n(&w->imageRecordsWritten, recordNumber, __ATOMIC_RELEASE);
}

void BBXBinaryImageLogRewriteStarted() {
    if (BBXWritableContext* w = bbxWritableContext)
        __atomic_store_n(&w->imageLogCompactor, static_cast<uint32_t>(BBXCurrentThreadId()), __ATOMIC_RELEASE);
}

void BBXBinaryImageLogRewriteEnded() {
    BBXWritableContext* w = bbxWritableContext;
    if (!w) return;
    __atomic_store_n(&w->imageLogCompactor, 0, __ATOMIC_RELEASE);
    syscall(SYS_futex, &w->imageLogCompactor, FUTEX_WAKE, 0x7fffffff, nullptr, nullptr, 0);
}

void BBXBinaryImageWaitForLogRewrite() {
    BBXWritableContext* w = bbxWritableContext;
    if (!w) return;
    // Records appended to the file being replaced would go with it. A
    // rewrite is a few hundred records; one that takes longer than this is
    // stuck (on a lock the crash holds), and the crash goes on without it.
    const uint32_t self = static_cast<uint32_t>(BBXCurrentThreadId());
    for (int tries = 0; tries < 20; ++tries) {
        const uint32_t compactor = __atomic_load_n(&w->imageLogCompactor, __ATOMIC_ACQUIRE);
        if (compactor == 0 || compactor == self) return;
        struct timespec wait = {0, 10 * 1000 * 1000};
        syscall(SYS_futex, &w->imageLogCompactor, FUTEX_WAIT, compactor, &wait, nullptr, 0);
    }
}

bool BBXBinaryImageRecordIsPending(uint64_t loadAddress) {
    BBXWritableContext* w = bbxWritableContext;
    if (!w || loadAddress == 0) return false;
    const uint64_t written = __atomic_load_n(&w->imageRecordsWritten, __ATOMIC_ACQUIRE);
    for (int i = 0; i < BBXImageListCount; ++i)
        if (__atomic_load_n(&w->images[i].loadAddress, __ATOMIC_ACQUIRE) == loadAddress)
            return __atomic_load_n(&w->imageRecords[i], __ATOMIC_ACQUIRE) > written;
    return false;
}

bool BBXBinaryImageIsTracked(uint64_t loadAddress) {
    BBXWritableContext* w = bbxWritableContext;
    if (!w || loadAddress == 0) return false;
    for (int i = 0; i < BBXImageListCount; ++i)
        if (__atomic_load_n(&w->images[i].loadAddress, __ATOMIC_ACQUIRE) == loadAddress) return true;
    return false;
}

bool BBXBinaryImageSafeFindImageForAddress(uint64_t address, BBXImageEntry* entry) {
    BBXWritableContext* w = bbxWritableContext;
    if (!BBXContextIsInitialized() || !w || address == 0 || !entry) return false;
    for (int i = 0; i < BBXImageListCount; ++i) {
        const BBXImageEntry* e = &w->images[i];
        uint64_t load = __atomic_load_n(&e->loadAddress, __ATOMIC_ACQUIRE);
        if (load == 0 || address < load) continue;
        uint64_t size = __atomic_load_n(&e->textSize, __ATOMIC_ACQUIRE);
        if (address - load >= size) continue;
        entry->loadAddress = load;
        entry->textSize = size;
        entry->ehFrame = __atomic_load_n(&e->ehFrame, __ATOMIC_ACQUIRE);
        entry->unwindInfo = __atomic_load_n(&e->unwindInfo, __ATOMIC_ACQUIRE);
        entry->crashInfo = __atomic_load_n(&e->crashInfo, __ATOMIC_ACQUIRE);
        return true;
    }
    return false;
}

bool BBXBinaryImageHasUnwindInfo(const BBXImageEntry* entry) { return entry && entry->unwindInfo >= 4096; }

void BBXBinaryImageWriteRecord(BBXFile* file, bool loaded, const char* path, const BBXImageDetails* details) {
    if (!BBXFileIsOpen(file) || !details) return;
    BBXFileWriteSectionStart(file, loaded ? "load" : "unload");
    BBXFileWriteHashStart(file);
    BBXFileWriteHashEntryString(file, "path", path);
    BBXFileWriteHashEntryString(file, "uuid", details->uuid);
    BBXFileWriteHashEntryUint64(file, "base", details->loadAddress);
    BBXFileWriteHashEntryUint64(file, "size", details->textSize);
    BBXFileWriteHashEnd(file);
    BBXFileWriteSectionEnd(file);
}

namespace {

// The load record of a link-map entry; the program itself has no name there.
void writeLoadRecord(BBXFile* file, uint64_t name, const BBXImageDetails* details) {
    if (!BBXFileIsOpen(file)) return;
    const char* path = nullptr;
    char program[4096];
    if (!BBXReadCString(name, &path, sizeof program)) return;
    if (path[0] == 0) {
        ssize_t n = ::readlink("/proc/self/exe", program, sizeof program - 1);
        if (n <= 0) return;
        program[n] = 0;
        path = program;
    }
    BBXBinaryImageWriteRecord(file, true, path, details);
    // One write per record: the binary-images queue may be appending too.
    BBXFileFlush(file);
}

}  // namespace

int BBXBinaryImageScanLinkMap(BBXFile* file) {
    BBXWritableContext* w = bbxWritableContext;
    if (!w) return 0;
    struct r_debug debug;
    if (!BBXReadMemory(reinterpret_cast<uint64_t>(&_r_debug), &debug, sizeof debug)) return 0;
    int added = 0;
    uint64_t node = reinterpret_cast<uint64_t>(debug.r_map);
    // A cycle in a damaged list must not hold the crash up.
    for (int guard = 0; node >= 4096 && guard < 4 * BBXImageListCount; ++guard) {
        struct link_map map;
        if (!BBXReadMemory(node, &map, sizeof map)) break;
        BBXImageDetails details;
        // Shared objects (and a position-independent program) are mapped
        // from their first page, so their ELF header lies at the bias.
        if (map.l_addr != 0 && BBXBinaryImageReadELFHeader(map.l_addr, map.l_addr, &details)) {
            const uint64_t name = reinterpret_cast<uint64_t>(map.l_name);
            if (!BBXBinaryImageIsTracked(details.loadAddress)) {
                // An image the full list has no room for is recorded anyway
                // (perhaps again: a second load record is harmless).
                if (BBXBinaryImageAdd(&details)) ++added;
                writeLoadRecord(file, name, &details);
            } else if (BBXFileIsOpen(file) && BBXBinaryImageRecordIsPending(details.loadAddress)) {
                // Tracked, but its record still waits in the queue.
                writeLoadRecord(file, name, &details);
            }
        }
        node = reinterpret_cast<uint64_t>(map.l_next);
    }
    return added;
}
