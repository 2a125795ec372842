// The table of contents of an image built to run in place: at image start +
// 0x40 the signature "ECEC" and the address of the table; the table is the
// 84-byte ROM header followed by its module entries (32 bytes each) and its
// file entries (28 bytes each), all little-endian. Addresses in it are image
// addresses, translated into flash addresses as the update tool translates
// record addresses.
//
// One reader serves the boot loader (over the board's flash window) and the
// inspector (over an image file's records). It reads through ImageBytes
// only, checks every address and count before it reads, reads names with a
// bound, and keeps no more than the entries it found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace board {

// The flash window images are written into: 32 MB from kernel address
// 0x9CA00000 (physical 0x00A00000).
inline constexpr uint32_t kImageWindowBase = 0x9CA00000;
inline constexpr uint32_t kImageWindowSize = 0x2000000;
inline constexpr uint32_t kKernelFlashBase = 0x9C000000;  // kernel address of physical 0
inline constexpr uint32_t kContentsSignatureOffset = 0x40;
inline constexpr uint32_t kRomHeaderSize = 84;
inline constexpr uint32_t kModuleEntrySize = 32;
inline constexpr uint32_t kFileEntrySize = 28;
inline constexpr uint32_t kMaxNameLength = 260;  // bytes before the NUL

// File attributes as the table holds them.
inline constexpr uint32_t kAttributeReadOnly = 0x01;
inline constexpr uint32_t kAttributeHidden = 0x02;
inline constexpr uint32_t kAttributeSystem = 0x04;
inline constexpr uint32_t kAttributeCompressed = 0x800;
inline constexpr uint32_t kAttributeInRom = 0x40;
inline constexpr uint32_t kAttributeRomModule = 0x2000;

// The flash address an image address stands for (the tool's translation of
// record addresses: cached addresses below 0xBCA00000 move by 0x1C980000,
// the others by 0xE0000000, modulo 2^32).
uint32_t flashAddressOf(uint32_t imageAddress);

// Where the reader gets bytes: `n` bytes at flash address `at`, false when
// the source does not hold every one of them.
class ImageBytes {
  public:
    virtual ~ImageBytes() = default;
    virtual bool read(uint32_t at, void *out, uint32_t n) const = 0;
};

struct RomHeader {
    uint32_t dllFirst = 0, dllLast = 0, physFirst = 0, physLast = 0, numMods = 0;
    uint32_t ramStart = 0, ramFree = 0, ramEnd = 0, copyEntries = 0, copyOffset = 0;
    uint32_t profileLength = 0, profileOffset = 0, numFiles = 0, kernelFlags = 0, fsRamPercent = 0;
    uint32_t drivGlobStart = 0, drivGlobLength = 0;
    uint16_t cpuType = 0, miscFlags = 0;
    uint32_t extensions = 0, trackingStart = 0, trackingLength = 0;
};

struct ImageEntry {
    bool module = false;
    std::string name;
    uint32_t attributes = 0;
    uint64_t time = 0;                                           // FILETIME
    uint32_t size = 0;                                           // a file's real size
    uint32_t compressedSize = 0;                                 // files only
    uint32_t nameAddress = 0, e32 = 0, o32 = 0, loadOffset = 0;  // image addresses
};

struct ImageContents {
    bool signatureFound = false;
    uint32_t tableAddress = 0;  // as the image holds it
    bool headerRead = false;
    RomHeader header;
    std::vector<ImageEntry> modules, files;
    // Empty when the table is whole and bootable; else why not.
    std::string problem;
    bool ok() const { return problem.empty(); }
    // The time of default.fdf, else of the first module, else nothing.
    std::optional<uint64_t> buildTime() const;
};

// Reads the table of the image that starts at flash address `imageStart`;
// every address it follows must translate into [windowBase, windowBase +
// windowSize). A boot needs ok() (at least one module among the rest).
ImageContents readImageContents(const ImageBytes &bytes, uint32_t imageStart, uint32_t windowBase = kImageWindowBase,
                                uint32_t windowSize = kImageWindowSize);

// What a table is made from (samples, default images, tests).
struct ContentsEntry {
    std::string name;
    uint32_t attributes = 0;
    uint64_t time = 0;
    uint32_t size = 0;
    uint32_t compressedSize = 0;
    std::string data;  // files: stored at the load offset (compressedSize bytes when compressed)
};
struct ContentsLayout {
    uint32_t imageStart = 0;    // image address of the image's first byte
    uint32_t tableAddress = 0;  // image address where the table goes
    uint32_t physLast = 0;      // 0: the end of the table's own bytes
    std::vector<ContentsEntry> modules, files;
    uint16_t cpuType = 0x01C2;  // ARM, Thumb
    uint32_t kernelFlags = 0;
};
// The bytes from `tableAddress` on: header, entries, names, file data.
std::vector<uint8_t> contentsTableBytes(const ContentsLayout &layout);
// The 8 bytes at image start + 0x40: "ECEC" and the table's address.
std::vector<uint8_t> contentsPointerBytes(uint32_t tableAddress);

// FILETIME as "YYYY-MM-DDTHH:MM:SSZ" (fractions of a second dropped).
std::string iso8601FromFileTime(uint64_t fileTime);

}  // namespace board
