#include "kits/blackbox/BBXBinaryImages.h"

#include <elf.h>
#include <gnu/libc-version.h>
#include <link.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kits/blackbox/BBXContextSetup.h"

namespace {

std::string executablePath() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// An image launch or a rescan has seen, whether or not the crash context's
// fixed-size list had room for it: its load record is written either way.
struct SeenImage : BBXLoadedImage {
    bool listed = false;  // holds a slot of the crash context's list
    std::uint64_t record = 0;  // the number of its load record
};

// What launch and the rescans saw, so that an unload record can name the
// image. Never destroyed: libraries are still closed (and so rescanned) while
// the program's statics are torn down at exit.
std::vector<SeenImage>& trackedImages() {
    static auto* images = new std::vector<SeenImage>();
    return *images;
}

// Set in the child of a fork. Its copy of the image lock may be held by a
// thread that no longer exists there, and its binary-images queue has no
// thread to write with: the child leaves the loader calls to the loader (a
// crash there still records its images from the linker's list).
bool forkedChild = false;
void markForkedChild() { __atomic_store_n(&forkedChild, true, __ATOMIC_RELAXED); }
std::mutex& trackedMutex() {
    static auto* m = new std::mutex();
    return *m;
}

// The loader counts every image it adds and removes. Counts that have not
// moved since the last scan (a library already open, a dlopen that failed)
// mean nothing to scan: the common case, cheap enough for every dlopen.
struct LoaderCounts {
    unsigned long long adds = 0, subs = 0;
    bool operator==(const LoaderCounts&) const = default;
};

int firstImage(struct dl_phdr_info* info, std::size_t size, void* data) {
    auto* counts = static_cast<LoaderCounts*>(data);
    if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
        counts->adds = info->dlpi_adds;
        counts->subs = info->dlpi_subs;
    }
    return 1;
}

LoaderCounts loaderCounts() {
    LoaderCounts counts;
    ::dl_iterate_phdr(firstImage, &counts);
    return counts;
}

LoaderCounts& countsAtLastScan() {  // under trackedMutex
    static LoaderCounts counts;
    return counts;
}

// Records are numbered in the order they are queued (under trackedMutex), so
// that the crash path can tell which images' records the queue has not
// written yet and write those itself.
std::uint64_t& recordsQueued() {
    static std::uint64_t count = 0;
    return count;
}

// On the binary-images queue, with the log closed: past its limit, the log
// is replaced by one with the load records of the images loaded now. Records
// still queued behind this land after them (a load twice, an unload of an
// image no longer listed: both harmless to the reader).
void compactIfLarge(std::uint64_t size) {
    static std::uint64_t compactedSize = 0;  // the queue's own
    if (size <= std::max(BBXBinaryImagesCompactionSize, 2 * compactedSize)) return;
    std::vector<BBXLoadedImage> images;
    std::uint64_t covered = 0;
    {
        std::lock_guard lock(trackedMutex());
        images.assign(trackedImages().begin(), trackedImages().end());
        covered = recordsQueued();
    }
    // Beside it, named so that a leftover is never packed into a report.
    const std::string path = bbxContext->binaryImagesPath;
    const std::size_t slash = path.find_last_of('/') + 1;
    const std::string temporary = path.substr(0, slash) + "." + path.substr(slash) + ".compacting";
    BBXBinaryImageLogRewriteStarted();
    BBXFile file;
    std::uint64_t compacted = 0;
    bool replaced = BBXFileInitWithPathMode(&file, temporary.c_str(), false, true);
    if (replaced) {
        for (const auto& image : images) BBXBinaryImageWriteRecord(&file, true, image.path.c_str(), &image.details);
        replaced = BBXFileCloseWithOffset(&file, &compacted) && ::rename(temporary.c_str(), path.c_str()) == 0;
    }
    const int error = errno;
    if (replaced) {
        BBXBinaryImageRecordsWritten(covered);
        compactedSize = compacted;
    } else {
        ::unlink(temporary.c_str());
    }
    BBXBinaryImageLogRewriteEnded();
    if (!replaced)
        BBXSDKLog("%s: Error: unable to compact the binary image log file %s\n", "BBXBinaryImageCompact",
                  BBXErrnoText(error));
}

void writeRecord(bool loaded, const BBXLoadedImage& image, std::uint64_t number) {
    BBXBinaryImagesQueue().post([loaded, image, number] {
        BBXWritableContext* w = bbxWritableContext;
        if (!w || !bbxContext) return;
        bool opened = false;
        if (!BBXFileIsOpen(&w->binaryImagesFile)) {
            if (!BBXFileInitWithPath(&w->binaryImagesFile, bbxContext->binaryImagesPath, true)) {
                BBXSDKLog("%s: Error: unable to open binary image log file\n", "BBXBinaryImageOpenIfNeeded");
                return;
            }
            opened = true;
        }
        BBXBinaryImageWriteRecord(&w->binaryImagesFile, loaded, image.path.c_str(), &image.details);
        // One write per record, which the crash path's own appends cannot split.
        if (BBXFileFlush(&w->binaryImagesFile)) BBXBinaryImageRecordsWritten(number);
        if (!opened) return;  // held open through the burst at launch
        std::uint64_t size = 0;
        BBXFileCloseWithOffset(&w->binaryImagesFile, &size);
        compactIfLarge(size);
    });
}

// Tracks a loaded image and queues its load record, which is written even
// when the crash context's list is full: the image's frames are then still
// named from the record. Under trackedMutex.
SeenImage trackLoaded(const BBXLoadedImage& image) {
    SeenImage seen;
    static_cast<BBXLoadedImage&>(seen) = image;
    seen.record = ++recordsQueued();
    seen.listed = BBXBinaryImageAdd(&image.details, seen.record);
    writeRecord(true, image, seen.record);
    return seen;
}

// The minimum kernel the program declares in its ABI note, as "major.minor.patch".
std::string abiTagVersion(const BBXLoadedImage& image) {
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(image.details.loadAddress);
    if (!header) return "0.0.0";
    const auto* ph = reinterpret_cast<const ElfW(Phdr)*>(image.details.loadAddress + header->e_phoff);
    for (int i = 0; i < header->e_phnum; ++i) {
        if (ph[i].p_type != PT_NOTE) continue;
        auto note = image.details.bias + ph[i].p_vaddr, end = note + ph[i].p_memsz;
        while (note + sizeof(ElfW(Nhdr)) <= end) {
            const auto* n = reinterpret_cast<const ElfW(Nhdr)*>(note);
            auto desc = note + sizeof *n + ((n->n_namesz + 3) & ~3u);
            if (n->n_type == NT_GNU_ABI_TAG && n->n_descsz >= 16) {
                const auto* words = reinterpret_cast<const std::uint32_t*>(desc);
                return std::to_string(words[1]) + "." + std::to_string(words[2]) + "." + std::to_string(words[3]);
            }
            note = desc + ((n->n_descsz + 3) & ~3u);
        }
    }
    return "0.0.0";
}

}  // namespace

namespace {

// What the loader's walk collects: fixed-size records and their names in one
// character pool, both reserved before the walk. The walk holds the loader's
// lock, and an allocator that itself calls into the loader (a heap profiler
// loaded with LD_PRELOAD) would deadlock on it if we allocated there.
struct RawImage {
    BBXImageDetails details;
    std::size_t nameOffset;
    std::size_t nameLength;
};

struct Walk {
    const std::vector<std::uint64_t>* known;
    RawImage* images;
    std::size_t capacity;
    std::size_t count;  // every image seen, even those beyond the capacity
    char* names;
    std::size_t namesCapacity;
    std::size_t namesUsed;
    std::size_t namesNeeded;  // the pool size that would have held every name
};

int collect(struct dl_phdr_info* info, std::size_t, void* data) {
    auto* walk = static_cast<Walk*>(data);
    const char* name = info->dlpi_name ? info->dlpi_name : "";
    const std::size_t length = std::strlen(name);
    walk->namesNeeded += length;
    const std::size_t index = walk->count++;
    if (index >= walk->capacity) return 0;
    RawImage& image = walk->images[index];
    // The loader's own program headers of a loaded image: readable directly.
    std::uint64_t lowest = ~std::uint64_t{0};
    for (int i = 0; walk->known && i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        lowest = std::min<std::uint64_t>(lowest, info->dlpi_addr + (ph.p_vaddr & ~(ph.p_align > 1 ? ph.p_align - 1 : 0)));
    }
    if (walk->known && std::binary_search(walk->known->begin(), walk->known->end(), lowest)) {
        image.details = BBXImageDetails{};
        image.details.loadAddress = lowest;
    } else if (!BBXBinaryImageReadELF(info->dlpi_addr, reinterpret_cast<std::uint64_t>(info->dlpi_phdr),
                                      info->dlpi_phnum, &image.details)) {
        image.details.loadAddress = 0;  // not an image we can use
        image.nameLength = 0;
        return 0;
    }
    image.nameOffset = walk->namesUsed;
    image.nameLength = 0;
    if (walk->namesUsed + length <= walk->namesCapacity) {
        std::memcpy(walk->names + walk->namesUsed, name, length);
        walk->namesUsed += length;
        image.nameLength = length;
    }
    return 0;
}

}  // namespace

std::vector<BBXLoadedImage> BBXBinaryImageLoadedImages(const std::vector<std::uint64_t>* known) {
    // Sized from the last walk (or a guess), and again from what the walk saw
    // when images were opened in between.
    static std::atomic<std::size_t> lastCount{0}, lastNames{0};
    std::size_t capacity = std::max<std::size_t>(256, lastCount.load(std::memory_order_relaxed) + 64);
    std::size_t namesCapacity = std::max<std::size_t>(64 * 1024, lastNames.load(std::memory_order_relaxed) + 4096);
    std::vector<RawImage> raw;
    std::vector<char> names;
    Walk walk{};
    for (int attempt = 0; attempt < 4; ++attempt) {
        raw.assign(capacity, RawImage{});
        names.assign(namesCapacity, 0);
        walk = Walk{known, raw.data(), capacity, 0, names.data(), namesCapacity, 0, 0};
        ::dl_iterate_phdr(collect, &walk);
        lastCount.store(walk.count, std::memory_order_relaxed);
        lastNames.store(walk.namesNeeded, std::memory_order_relaxed);
        if (walk.count <= capacity && walk.namesNeeded <= namesCapacity) break;
        capacity = walk.count + 64;
        namesCapacity = walk.namesNeeded + 4096;
    }
    std::vector<BBXLoadedImage> images;
    const std::size_t seen = std::min(walk.count, walk.capacity);
    images.reserve(seen);
    for (std::size_t i = 0; i < seen; ++i) {
        const RawImage& r = raw[i];
        if (!r.details.loadAddress) continue;
        BBXLoadedImage image;
        image.details = r.details;
        image.path.assign(names.data() + r.nameOffset, r.nameLength);
        // The main program is listed first, without a name.
        if (images.empty() && image.path.empty()) image.path = executablePath();
        images.push_back(std::move(image));
    }
    return images;
}

void BBXBinaryImageInit() {
    BBXBinaryImageWatchLoaderCalls();
    static const bool watchingForks = ::pthread_atfork(nullptr, nullptr, markForkedChild) == 0;
    (void)watchingForks;
    BBXWritableContext* w = bbxWritableContext;
    if (!w || !bbxContext) return;
    w->binaryImagesFile.fd = -1;
    for (auto& e : w->images) e = {};
    for (auto& number : w->imageRecords) number = ~std::uint64_t{0};
    const char* path = bbxContext->binaryImagesPath;
    // Removed now rather than on the queue: a crash before the queue runs has
    // the crash path write the records, into a file that must then stay.
    if (!BBXUnlinkIfExists(path))
        BBXSDKLog("%s: Unable to reset the binary image log file %s\n", "BBXBinaryImageInit", BBXErrnoText(errno));
    BBXBinaryImagesQueue().post([w, path] {
        if (!BBXFileInitWithPath(&w->binaryImagesFile, path, true))
            BBXSDKLog("%s: Error: Unable to open the binary image log file during init\n", "BBXBinaryImageInit");
    });
    {
        std::lock_guard lock(trackedMutex());
        countsAtLastScan() = loaderCounts();
        trackedImages().clear();
        for (const auto& image : BBXBinaryImageLoadedImages()) trackedImages().push_back(trackLoaded(image));
    }
    BBXBinaryImagesQueue().post([w] {
        if (BBXFileIsOpen(&w->binaryImagesFile)) BBXFileClose(&w->binaryImagesFile);
    });
}

int BBXBinaryImageRescan() {
    if (!bbxWritableContext || __atomic_load_n(&forkedChild, __ATOMIC_RELAXED)) return 0;
    std::lock_guard lock(trackedMutex());
    const LoaderCounts counts = loaderCounts();
    if (counts == countsAtLastScan()) return 0;
    countsAtLastScan() = counts;
    // Only images not seen before are read in full.
    // Each by its load address, with its place in the tracked list: a host
    // with hundreds of plugins looks every one of them up on every call.
    std::vector<std::pair<std::uint64_t, std::size_t>> places;
    places.reserve(trackedImages().size());
    for (std::size_t i = 0; i < trackedImages().size(); ++i)
        places.emplace_back(trackedImages()[i].details.loadAddress, i);
    std::sort(places.begin(), places.end());
    std::vector<std::uint64_t> known;
    known.reserve(places.size());
    for (const auto& place : places) known.push_back(place.first);
    auto images = BBXBinaryImageLoadedImages(&known);
    int changed = 0;
    std::vector<SeenImage> now;
    now.reserve(images.size());
    for (const auto& image : images) {
        auto place = std::lower_bound(places.begin(), places.end(), std::pair{image.details.loadAddress, std::size_t{0}});
        if (place != places.end() && place->first == image.details.loadAddress) {
            // Still loaded: moved over (only the images gone are read below).
            now.push_back(std::move(trackedImages()[place->second]));
            continue;
        }
        // Images the crash path found since (from the linker's list) count as
        // tracked: it wrote their load records.
        if (BBXBinaryImageIsTracked(image.details.loadAddress)) {
            SeenImage seen;
            static_cast<BBXLoadedImage&>(seen) = image;
            seen.listed = true;
            now.push_back(std::move(seen));
            continue;
        }
        now.push_back(trackLoaded(image));
        ++changed;
    }
    std::vector<std::uint64_t> present;
    present.reserve(now.size());
    for (const auto& image : now) present.push_back(image.details.loadAddress);
    std::sort(present.begin(), present.end());
    bool freed = false;
    for (const auto& old : trackedImages()) {
        if (std::binary_search(present.begin(), present.end(), old.details.loadAddress)) continue;
        if (old.listed) freed |= BBXBinaryImageRemove(old.details.loadAddress);
        writeRecord(false, old, ++recordsQueued());
        ++changed;
    }
    // Slots freed by unloads go to images still loaded that found the list full.
    for (auto& image : now) {
        if (!freed) break;
        if (!image.listed) freed = image.listed = BBXBinaryImageAdd(&image.details, image.record);
    }
    trackedImages() = std::move(now);
    return changed;
}

bool BBXBinaryImageRecordMainExecutable(BBXFile* file) {
    if (!BBXFileIsOpen(file)) return false;
    auto images = BBXBinaryImageLoadedImages();
    if (images.empty()) return false;
    const auto& main = images.front();
    std::string minimum = abiTagVersion(main);
    std::string built = std::to_string(__GLIBC__) + "." + std::to_string(__GLIBC_MINOR__) + ".0";
    BBXFileWriteSectionStart(file, "executable");
    BBXFileWriteHashStart(file);
    BBXFileWriteHashEntryString(file, "architecture", "x86_64");
    BBXFileWriteHashEntryString(file, "uuid", main.details.uuid);
    BBXFileWriteHashEntryUint64(file, "base", main.details.loadAddress);
    BBXFileWriteHashEntryUint64(file, "size", main.details.textSize);
    BBXFileWriteHashEntryBoolean(file, "encrypted", false);
    BBXFileWriteHashEntryString(file, "minimum_sdk_version", minimum.c_str());
    BBXFileWriteHashEntryString(file, "built_sdk_version", built.c_str());
    BBXFileWriteHashEnd(file);
    BBXFileWriteSectionEnd(file);
    return true;
}

bool BBXBinaryImageFindImageForUUID(const char* uuid, BBXLoadedImage* image) {
    if (!uuid || !image) {
        BBXSDKLog("%s: null input\n", __func__);
        return false;
    }
    for (auto& loaded : BBXBinaryImageLoadedImages()) {
        if (loaded.details.uuid[0] && std::string(loaded.details.uuid) == uuid) {
            *image = std::move(loaded);
            return true;
        }
    }
    return false;
}
