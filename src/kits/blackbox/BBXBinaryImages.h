#pragma once
// The loaded images at launch and on rescan: tracked in the crash context's
// image list and logged to "binary_images.bbxrecord".
#include <cstdint>
#include <string>
#include <vector>

#include "kits/blackbox/crashtime/BBXBinaryImage.h"

// "binary_images.bbxrecord" past this size (or past twice its size when last
// compacted, if more) is rewritten with the load records of the images still
// loaded: a program that opens and closes plugins in a loop keeps it bounded.
constexpr std::uint64_t BBXBinaryImagesCompactionSize = 256 * 1024;

struct BBXLoadedImage {
    std::string path;
    BBXImageDetails details;
};

// Every image loaded in this process now. Images whose load address is in
// `known` (sorted) get only their path and load address: their details are
// known already and reading them again is the costly part of a walk.
std::vector<BBXLoadedImage> BBXBinaryImageLoadedImages(const std::vector<std::uint64_t>* known = nullptr);
// Clears the list, tracks every loaded image and writes their load records.
void BBXBinaryImageInit();
// Tracks images opened since the last scan and forgets unloaded ones,
// writing their load and unload records (an image the crash context's list
// has no room for is recorded all the same). Returns how many changed;
// nothing is walked when the loader has added and removed nothing since. The
// program's dlopen (before it opens) and dlclose (before and after) call it,
// and so do recorded errors and custom exceptions. In the child of a fork it
// does nothing.
int BBXBinaryImageRescan();
// Keeps those dlopen and dlclose in every program that links the kit.
void BBXBinaryImageWatchLoaderCalls();
// The "executable" record of the main program.
bool BBXBinaryImageRecordMainExecutable(BBXFile* file);
// The image loaded now whose build-id is `uuid`.
bool BBXBinaryImageFindImageForUUID(const char* uuid, BBXLoadedImage* image);
