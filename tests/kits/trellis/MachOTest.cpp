#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <regex>
#include <vector>

#include "TrellisTestSupport.h"
#include "base/Crypto.h"
#include "kits/trellis/TRLApplicationIdentiferModel.h"
#include "kits/trellis/TRLMachO.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& b, std::uint32_t v) {
    std::uint8_t tmp[4];
    std::memcpy(tmp, &v, 4);
    b.insert(b.end(), tmp, tmp + 4);
}
void put64(Bytes& b, std::uint64_t v) {
    std::uint8_t tmp[8];
    std::memcpy(tmp, &v, 8);
    b.insert(b.end(), tmp, tmp + 8);
}
void putBig32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
void putName(Bytes& b, const char* name) {
    char field[16] = {};
    std::memcpy(field, name, std::min<std::size_t>(std::strlen(name), 16));
    b.insert(b.end(), field, field + 16);
}

// A 64-bit Mach-O image: UUID, version minimum, a __TEXT segment with an
// __unwind_info section, a dylib load command.
Bytes thinImage(std::int32_t cpuType, std::int32_t subtype, std::uint8_t uuidSeed) {
    Bytes cmds;
    put32(cmds, kTRLLoadCommandUUID);
    put32(cmds, 24);
    for (int i = 0; i < 16; ++i) cmds.push_back(static_cast<std::uint8_t>(uuidSeed + i));
    put32(cmds, kTRLLoadCommandVersionMinMacOSX);
    put32(cmds, 16);
    put32(cmds, 0x000A0900);  // 10.9.0
    put32(cmds, 0x000A0C01);  // 10.12.1
    put32(cmds, kTRLLoadCommandSegment64);
    put32(cmds, 72 + 80);
    putName(cmds, "__TEXT");
    put64(cmds, 0x100000000);  // vmaddr
    put64(cmds, 0x4000);       // vmsize
    put64(cmds, 0);
    put64(cmds, 0x4000);
    put32(cmds, 5);
    put32(cmds, 5);
    put32(cmds, 1);  // nsects
    put32(cmds, 0);
    putName(cmds, "__unwind_info");
    putName(cmds, "__TEXT");
    put64(cmds, 0x100001000);
    put64(cmds, 0x80);
    put32(cmds, 0x1000);
    for (int i = 0; i < 7; ++i) put32(cmds, 0);
    put32(cmds, kTRLLoadCommandLoadDylib);
    put32(cmds, 40);
    put32(cmds, 24);  // name offset
    put32(cmds, 0);
    put32(cmds, 0);
    put32(cmds, 0);
    const char name[16] = "/usr/lib/libz";
    cmds.insert(cmds.end(), name, name + 16);

    Bytes image;
    put32(image, kTRLMachOMagic64);
    put32(image, static_cast<std::uint32_t>(cpuType));
    put32(image, static_cast<std::uint32_t>(subtype));
    put32(image, 2);  // executable
    put32(image, 4);  // ncmds
    put32(image, static_cast<std::uint32_t>(cmds.size()));
    put32(image, 0);
    put32(image, 0);
    image.insert(image.end(), cmds.begin(), cmds.end());
    return image;
}

Bytes universal(const std::vector<std::pair<std::pair<std::int32_t, std::int32_t>, Bytes>>& slices) {
    Bytes out;
    putBig32(out, kTRLMachOFatMagic);
    putBig32(out, static_cast<std::uint32_t>(slices.size()));
    std::uint32_t offset = 8 + 20 * static_cast<std::uint32_t>(slices.size());
    for (auto& [arch, image] : slices) {
        putBig32(out, static_cast<std::uint32_t>(arch.first));
        putBig32(out, static_cast<std::uint32_t>(arch.second));
        putBig32(out, offset);
        putBig32(out, static_cast<std::uint32_t>(image.size()));
        putBig32(out, 0);
        offset += static_cast<std::uint32_t>(image.size());
    }
    for (auto& s : slices) out.insert(out.end(), s.second.begin(), s.second.end());
    return out;
}

// Runs every reader over a mapping of exactly `length` bytes, so that the
// address sanitizer sees any read past the end.
void readEverything(const Bytes& full, std::size_t length) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[length ? length : 1]);
    if (length) std::memcpy(copy.get(), full.data(), length);
    TRLMachOMappedFile file{-1, length, copy.get()};
    TRLMachOEnumerateSlices(&file, [&](const TRLMachOSlice& s) {
        TRLMachOSlice slice = s;
        TRLMachOEnumerateLoadCommands(&slice, [&](std::uint32_t, std::uint32_t size, const std::uint8_t* c) {
            TRLMachOUUIDFromLoadCommand(c, size);
            TRLMachODylibNameFromLoadCommand(c, size);
            TRLMachOIsEncrypted(c, size);
            TRLMachOMinimumVersionFromLoadCommand(c, size);
            TRLMachOSegmentFromLoadCommand(c, size);
        });
        TRLMachOSection section;
        if (TRLMachOGetSection(slice, "__TEXT", "__unwind_info", &section)) TRLMachOSectionAddress(slice, section);
    });
    TRLElfReadIdentity(copy.get(), length);
}

constexpr std::int32_t kX86_64 = 0x01000007;
constexpr std::int32_t kI386 = 7;

}  // namespace

TEST(TrellisMachO, WalksLoadCommandsOfAThinImage) {
    Bytes image = thinImage(kX86_64, 3, 0x10);
    TRLMachOMappedFile file{-1, image.size(), image.data()};
    int slices = 0;
    ASSERT_TRUE(TRLMachOEnumerateSlices(&file, [&](const TRLMachOSlice& s) {
        ++slices;
        EXPECT_EQ(TRLMachOArchitectureName(s.cpuType, s.cpuSubtype), "x86_64");
        TRLMachOSlice slice = s;
        std::vector<std::uint32_t> cmds;
        EXPECT_TRUE(TRLMachOEnumerateLoadCommands(&slice, [&](std::uint32_t cmd, std::uint32_t size, const std::uint8_t* c) {
            cmds.push_back(cmd);
            if (cmd == kTRLLoadCommandUUID) {
                EXPECT_EQ(TRLMachOUUIDString(TRLMachOUUIDFromLoadCommand(c, size)), "101112131415161718191a1b1c1d1e1f");
            }
            if (cmd == kTRLLoadCommandVersionMinMacOSX) {
                EXPECT_EQ(TRLMachOVersionString(TRLMachOMinimumVersionFromLoadCommand(c, size)).value_or(""), "10.9.0");
                EXPECT_EQ(TRLMachOVersionString(TRLMachOSDKVersionFromLoadCommand(c, size)).value_or(""), "10.12.1");
            }
            if (cmd == kTRLLoadCommandSegment64) {
                auto seg = TRLMachOSegmentFromLoadCommand(c, size);
                EXPECT_STREQ(seg.name, "__TEXT");
                EXPECT_EQ(seg.vmsize, 0x4000u);
            }
            if (cmd == kTRLLoadCommandLoadDylib) {
                EXPECT_EQ(TRLMachODylibNameFromLoadCommand(c, size).value_or(""), "/usr/lib/libz");
            }
        }));
        EXPECT_EQ(cmds.size(), 4u);
        EXPECT_TRUE(TRLMachOHeaderIs64Bit(slice));
        TRLMachOSection section;
        ASSERT_TRUE(TRLMachOGetSection(slice, "__TEXT", "__unwind_info", &section));
        EXPECT_EQ(section.address, 0x100001000u);
        EXPECT_EQ(section.size, 0x80u);
        EXPECT_FALSE(TRLMachOGetSection(slice, "__TEXT", "__eh_frame", &section));
        std::uintptr_t unwind = 0, eh = 1;
        EXPECT_TRUE(TRLMachOUnwindSections(slice, 0x1000, &unwind, &eh));
        EXPECT_EQ(unwind, 0x100002000u);
        EXPECT_EQ(eh, 0u);
    }));
    EXPECT_EQ(slices, 1);
    EXPECT_EQ(TRLMachOVersionString(std::nullopt), std::nullopt);
}

TEST(TrellisMachO, ArchitectureNames) {
    EXPECT_EQ(TRLMachOArchitectureName(0x0100000c, 0), "arm64");
    EXPECT_EQ(TRLMachOArchitectureName(12, 11), "armv7s");
    EXPECT_EQ(TRLMachOArchitectureName(12, 12), "armv7k");
    EXPECT_EQ(TRLMachOArchitectureName(kI386, 3), "i386");
    EXPECT_EQ(TRLMachOArchitectureName(kX86_64, 3), "x86_64");
    EXPECT_EQ(TRLMachOArchitectureName(0x12345, 0), "unknown");
}

TEST(TrellisMachO, UniversalExecutableGivesSortedInstanceIdentifier) {
    Bytes fat = universal({{{kX86_64, 3}, thinImage(kX86_64, 3, 0x20)}, {{kI386, 3}, thinImage(kI386, 3, 0x40)}});
    testsupport::TempDir dir;
    ASSERT_TRUE(base::writeFileAtomically(dir.file("app"), std::string(fat.begin(), fat.end())));

    TRLMachOMappedFile file;
    ASSERT_TRUE(TRLMachOMapFile(dir.file("app").c_str(), &file));
    auto slice = TRLMachOFindSliceForArchitecture(&file, "i386");
    ASSERT_TRUE(slice);
    EXPECT_EQ(slice->cpuType, kI386);
    TRLMachOUnmapFile(&file);
    EXPECT_EQ(file.fd, -1);

    auto model = TRLApplicationIdentiferModel::create("INSTALL", dir.file("app"));
    ASSERT_TRUE(model);
    ASSERT_EQ(model->architectureUUIDMap().size(), 2u);
    std::string i386 = "404142434445464748494a4b4c4d4e4f", x64 = "202122232425262728292a2b2c2d2e2f";
    EXPECT_EQ(model->architectureUUIDMap().at("i386"), i386);
    EXPECT_EQ(model->instanceIdentifier(), base::sha1Hex(i386 + x64));
    EXPECT_EQ(model->minimumSDKString(), "10.9.0");
    EXPECT_EQ(model->builtSDKString(), "10.12.1");
    EXPECT_EQ(model->installID(), "INSTALL");
}

TEST(TrellisMachO, RefusesFilesThatCannotBeImages) {
    testsupport::TempDir dir;
    TRLMachOMappedFile file;
    EXPECT_FALSE(TRLMachOMapFile(dir.path().c_str(), &file));  // a folder
    ASSERT_TRUE(base::writeFileAtomically(dir.file("small"), "0123456789"));
    EXPECT_FALSE(TRLMachOMapFile(dir.file("small").c_str(), &file));
    EXPECT_FALSE(TRLMachOMapFile(dir.file("missing").c_str(), &file));
    EXPECT_EQ(TRLApplicationIdentiferModel::create("x", dir.file("missing")), nullptr);
}

TEST(TrellisMachO, MalformedCommandsStopTheWalk) {
    Bytes image = thinImage(kX86_64, 3, 0);
    // A command of size 0 would loop for ever on the same spot.
    Bytes zero = image;
    std::uint32_t z = 0;
    std::memcpy(zero.data() + 32 + 4, &z, 4);
    TRLMachOSlice slice{zero.data(), zero.size(), 0, 0};
    int calls = 0;
    EXPECT_FALSE(TRLMachOEnumerateLoadCommands(&slice, [&](auto, auto, auto) { ++calls; }));
    EXPECT_EQ(calls, 0);
    // A count far beyond the commands present.
    Bytes many = image;
    std::uint32_t n = 0xffffffff;
    std::memcpy(many.data() + 16, &n, 4);
    slice = TRLMachOSlice{many.data(), many.size(), 0, 0};
    calls = 0;
    EXPECT_FALSE(TRLMachOEnumerateLoadCommands(&slice, [&](auto, auto, auto) { ++calls; }));
    EXPECT_EQ(calls, 4);
    // A universal entry pointing past the end.
    Bytes fat = universal({{{kX86_64, 3}, image}});
    Bytes bad = fat;
    bad[8 + 8] = 0x7f;
    TRLMachOMappedFile file{-1, bad.size(), bad.data()};
    calls = 0;
    EXPECT_FALSE(TRLMachOEnumerateSlices(&file, [&](const TRLMachOSlice&) { ++calls; }));
    EXPECT_EQ(calls, 0);
}

TEST(TrellisMachO, EveryTruncationIsReadSafely) {
    Bytes thin = thinImage(kX86_64, 3, 1);
    Bytes fat = universal({{{kX86_64, 3}, thin}, {{kI386, 3}, thinImage(kI386, 3, 2)}});
    for (std::size_t n = 0; n <= thin.size(); ++n) readEverything(thin, n);
    for (std::size_t n = 0; n <= fat.size(); ++n) readEverything(fat, n);
    // Byte noise in every position of the header and commands.
    for (std::size_t i = 0; i < thin.size(); ++i) {
        Bytes noisy = thin;
        noisy[i] ^= 0xff;
        readEverything(noisy, noisy.size());
    }
}

TEST(TrellisElf, IdentityOfAProgramWithAKnownBuildId) {
    TRLMachOMappedFile file;
    ASSERT_TRUE(TRLMachOMapFile(TRELLIS_PROBE_PATH, &file));
    auto id = TRLElfReadIdentity(file.address, file.length);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->buildID, TRELLIS_PROBE_BUILD_ID);
#if defined(__x86_64__)
    EXPECT_EQ(id->architecture, "x86_64");
#elif defined(__aarch64__)
    EXPECT_EQ(id->architecture, "arm64");
#endif
    Bytes bytes(file.address, file.address + file.length);
    TRLMachOUnmapFile(&file);
    for (std::size_t n = 0; n <= bytes.size(); n += (n < 8192 ? 1 : 61)) readEverything(bytes, n);

    auto model = TRLApplicationIdentiferModel::create("I", TRELLIS_PROBE_PATH);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->architectureUUIDMap().begin()->second, TRELLIS_PROBE_BUILD_ID);
    EXPECT_EQ(model->instanceIdentifier(), base::sha1Hex(TRELLIS_PROBE_BUILD_ID));
    // The running program has its own identity, stable across reads.
    auto self1 = TRLApplicationIdentiferModel::create("I");
    auto self2 = TRLApplicationIdentiferModel::create("I");
    ASSERT_TRUE(self1 && self2);
    EXPECT_TRUE(std::regex_match(self1->instanceIdentifier(), std::regex("[0-9a-f]{40}")));
    EXPECT_EQ(self1->instanceIdentifier(), self2->instanceIdentifier());
    EXPECT_NE(self1->instanceIdentifier(), model->instanceIdentifier());
}

TEST(TrellisIcon, SizeComesFromThePngHeader) {
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x02\0\0\0\x02\0\x08\x06\0\0\0", 29);
    auto icon = TRLIcon::fromPNGData(png);
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->width(), 512);
    EXPECT_EQ(icon->height(), 512);
    EXPECT_TRUE(icon->prerendered());
    EXPECT_EQ(icon->dataHash(), base::sha1Hex(png));
    EXPECT_TRUE(icon->isWithinMaxSurfaceArea());
    EXPECT_TRUE(icon->largerThanSize(511, 512));
    EXPECT_EQ(TRLIcon::fromPNGData("GIF89a not a png at all....."), nullptr);
    EXPECT_EQ(TRLIcon::fromPNGData(png.substr(0, 20)), nullptr);
}
