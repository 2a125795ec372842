#include "board/image_contents.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace board {

namespace {

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void put32(std::vector<uint8_t> &out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put16(std::vector<uint8_t> &out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

class Reader {
  public:
    Reader(const ImageBytes &bytes, uint32_t base, uint32_t size) : bytes_(bytes), base_(base), size_(size) {}

    // The range [at, at + n) lies in the window (no wrap past 2^32).
    bool inWindow(uint32_t at, uint64_t n) const { return at >= base_ && uint64_t{at} - base_ + n <= size_; }
    // ... and in the image's own range, once that is known.
    bool inImage(uint32_t at, uint64_t n) const { return inWindow(at, n) && at >= lo_ && uint64_t{at} + n <= hi_; }
    void setImage(uint32_t lo, uint64_t hi) {
        lo_ = lo;
        hi_ = hi;
    }
    bool read(uint32_t at, void *out, uint32_t n) const { return bytes_.read(at, out, n); }

  private:
    const ImageBytes &bytes_;
    uint32_t base_, size_;
    uint32_t lo_ = 0;
    uint64_t hi_ = uint64_t{1} << 32;
};

}  // namespace

uint32_t flashAddressOf(uint32_t imageAddress) {
    return imageAddress + (imageAddress < 0xBCA00000u ? 0x1C980000u : 0xE0000000u);
}

std::optional<uint64_t> ImageContents::buildTime() const {
    for (const auto &f : files) {
        std::string lower = f.name;
        for (char &c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
        if (lower == "default.fdf") return f.time;
    }
    if (!modules.empty()) return modules.front().time;
    return std::nullopt;
}

ImageContents readImageContents(const ImageBytes &bytes, uint32_t imageStart, uint32_t windowBase,
                                uint32_t windowSize) {
    ImageContents c;
    Reader r(bytes, windowBase, windowSize);
    const uint32_t sigAt = imageStart + kContentsSignatureOffset;
    uint8_t sig[8];
    if (!r.inWindow(sigAt, 8) || !r.read(sigAt, sig, 8)) {
        c.problem = "the image holds nothing at " + hex(sigAt) + ", where its signature belongs";
        return c;
    }
    if (std::memcmp(sig, "ECEC", 4) != 0) {
        char got[40];
        std::snprintf(got, sizeof got, "%02x %02x %02x %02x", sig[0], sig[1], sig[2], sig[3]);
        c.problem = "no signature \"ECEC\" at " + hex(sigAt) + " (it holds " + got + ")";
        return c;
    }
    c.signatureFound = true;
    c.tableAddress = le32(sig + 4);
    const uint32_t table = flashAddressOf(c.tableAddress);
    if (!r.inWindow(table, kRomHeaderSize)) {
        c.problem =
            "the table address " + hex(c.tableAddress) + " (flash " + hex(table) + ") lies outside the image window";
        return c;
    }
    uint8_t h[kRomHeaderSize];
    if (!r.read(table, h, kRomHeaderSize)) {
        c.problem = "the image does not hold the table header at " + hex(c.tableAddress);
        return c;
    }
    c.headerRead = true;
    RomHeader &hd = c.header;
    uint32_t *const words[] = {&hd.dllFirst,      &hd.dllLast,       &hd.physFirst, &hd.physLast,    &hd.numMods,
                               &hd.ramStart,      &hd.ramFree,       &hd.ramEnd,    &hd.copyEntries, &hd.copyOffset,
                               &hd.profileLength, &hd.profileOffset, &hd.numFiles,  &hd.kernelFlags, &hd.fsRamPercent,
                               &hd.drivGlobStart, &hd.drivGlobLength};
    for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i) *words[i] = le32(h + 4 * i);
    hd.cpuType = le16(h + 68);
    hd.miscFlags = le16(h + 70);
    hd.extensions = le32(h + 72);
    hd.trackingStart = le32(h + 76);
    hd.trackingLength = le32(h + 80);

    // The physical range, translated, must lie in the window, the table in it.
    const uint32_t first = flashAddressOf(hd.physFirst), last = flashAddressOf(hd.physLast);
    if (hd.physLast < hd.physFirst) {
        c.problem = "the physical range " + hex(hd.physFirst) + "-" + hex(hd.physLast) + " is reversed";
        return c;
    }
    if (!r.inWindow(first, 0) || !r.inWindow(first, uint64_t{last} - first)) {
        c.problem =
            "the physical range " + hex(hd.physFirst) + "-" + hex(hd.physLast) + " does not lie in the image window";
        return c;
    }
    r.setImage(first, last);
    if (!r.inImage(table, kRomHeaderSize)) {
        c.problem = "the table at " + hex(c.tableAddress) + " lies outside the image's physical range";
        return c;
    }
    if (hd.numMods == 0) {
        c.problem = "the table lists no module";
        return c;
    }
    const uint64_t modulesAt = uint64_t{table} + kRomHeaderSize;
    const uint64_t filesAt = modulesAt + uint64_t{hd.numMods} * kModuleEntrySize;
    const uint64_t end = filesAt + uint64_t{hd.numFiles} * kFileEntrySize;
    if (end > uint64_t{last}) {
        c.problem = "the table's " + std::to_string(hd.numMods) + " modules and " + std::to_string(hd.numFiles) +
                    " files run past the image's end at " + hex(hd.physLast);
        return c;
    }

    // Each name is read in pieces up to its NUL, never past the image.
    auto readName = [&](uint32_t nameAddress, std::string &name, const std::string &what) {
        const uint32_t at = flashAddressOf(nameAddress);
        if (!r.inImage(at, 1)) {
            c.problem = what + ": its name at " + hex(nameAddress) + " lies outside the image";
            return false;
        }
        name.clear();
        for (uint32_t i = 0; i <= kMaxNameLength; ++i) {
            char ch = 0;
            if (!r.inImage(at + i, 1) || !r.read(at + i, &ch, 1)) {
                c.problem = what + ": its name at " + hex(nameAddress) + " has no end inside the image";
                return false;
            }
            if (ch == 0) {
                if (name.empty()) c.problem = what + ": its name at " + hex(nameAddress) + " is empty";
                return !name.empty();
            }
            name += ch;
        }
        c.problem = what + ": its name at " + hex(nameAddress) + " has no end within " +
                    std::to_string(kMaxNameLength) + " bytes";
        return false;
    };
    for (uint32_t i = 0; i < hd.numMods; ++i) {
        uint8_t e[kModuleEntrySize];
        const uint32_t at = static_cast<uint32_t>(modulesAt + uint64_t{i} * kModuleEntrySize);
        const std::string what = "module " + std::to_string(i + 1);
        if (!r.read(at, e, kModuleEntrySize)) {
            c.problem = what + ": the image does not hold its entry";
            return c;
        }
        ImageEntry m;
        m.module = true;
        m.attributes = le32(e);
        m.time = le32(e + 4) | uint64_t{le32(e + 8)} << 32;
        m.size = le32(e + 12);
        m.nameAddress = le32(e + 16);
        m.e32 = le32(e + 20);
        m.o32 = le32(e + 24);
        m.loadOffset = le32(e + 28);
        if (!readName(m.nameAddress, m.name, what)) return c;
        c.modules.push_back(std::move(m));
    }
    for (uint32_t i = 0; i < hd.numFiles; ++i) {
        uint8_t e[kFileEntrySize];
        const uint32_t at = static_cast<uint32_t>(filesAt + uint64_t{i} * kFileEntrySize);
        const std::string what = "file " + std::to_string(i + 1);
        if (!r.read(at, e, kFileEntrySize)) {
            c.problem = what + ": the image does not hold its entry";
            return c;
        }
        ImageEntry f;
        f.attributes = le32(e);
        f.time = le32(e + 4) | uint64_t{le32(e + 8)} << 32;
        f.size = le32(e + 12);
        f.compressedSize = le32(e + 16);
        f.nameAddress = le32(e + 20);
        f.loadOffset = le32(e + 24);
        if (!readName(f.nameAddress, f.name, what)) return c;
        c.files.push_back(std::move(f));
    }
    return c;
}

std::vector<uint8_t> contentsPointerBytes(uint32_t tableAddress) {
    std::vector<uint8_t> out = {'E', 'C', 'E', 'C', 0, 0, 0, 0};
    put32(out, 4, tableAddress);
    return out;
}

std::vector<uint8_t> contentsTableBytes(const ContentsLayout &l) {
    const size_t entries = kRomHeaderSize + l.modules.size() * kModuleEntrySize + l.files.size() * kFileEntrySize;
    std::vector<uint8_t> out(entries, 0);
    auto addBytes = [&out, &l](const std::string &bytes, bool nul) {
        const uint32_t at = l.tableAddress + static_cast<uint32_t>(out.size());
        out.insert(out.end(), bytes.begin(), bytes.end());
        if (nul) out.push_back(0);
        while (out.size() % 4 != 0) out.push_back(0);
        return at;
    };
    size_t at = kRomHeaderSize;
    for (const auto &m : l.modules) {
        const uint32_t name = addBytes(m.name, true);
        put32(out, at, m.attributes);
        put32(out, at + 4, static_cast<uint32_t>(m.time));
        put32(out, at + 8, static_cast<uint32_t>(m.time >> 32));
        put32(out, at + 12, m.size);
        put32(out, at + 16, name);
        put32(out, at + 20, l.imageStart);  // e32 and o32: the image's first page
        put32(out, at + 24, l.imageStart);
        put32(out, at + 28, l.imageStart);
        at += kModuleEntrySize;
    }
    for (const auto &f : l.files) {
        const uint32_t name = addBytes(f.name, true);
        const uint32_t data = addBytes(f.data, false);
        put32(out, at, f.attributes);
        put32(out, at + 4, static_cast<uint32_t>(f.time));
        put32(out, at + 8, static_cast<uint32_t>(f.time >> 32));
        put32(out, at + 12, f.size);
        put32(out, at + 16, f.compressedSize);
        put32(out, at + 20, name);
        put32(out, at + 24, data);
        at += kFileEntrySize;
    }
    const uint32_t end = l.tableAddress + static_cast<uint32_t>(out.size());
    put32(out, 0, l.imageStart);  // dllfirst, dlllast
    put32(out, 4, end);
    put32(out, 8, l.imageStart);
    put32(out, 12, l.physLast != 0 ? l.physLast : end);
    put32(out, 16, static_cast<uint32_t>(l.modules.size()));
    put32(out, 20, 0x8C000000);  // RAM: start, free, end
    put32(out, 24, 0x8C100000);
    put32(out, 28, 0x90000000);
    put32(out, 48, static_cast<uint32_t>(l.files.size()));
    put32(out, 52, l.kernelFlags);
    put32(out, 56, 0x80);
    put16(out, 68, l.cpuType);
    return out;
}

std::string iso8601FromFileTime(uint64_t fileTime) {
    using namespace std::chrono;
    constexpr int64_t kDaysFrom1601To1970 = 134774;
    const int64_t seconds = static_cast<int64_t>(fileTime / 10000000);
    const int64_t days = seconds / 86400 - kDaysFrom1601To1970;
    const int64_t inDay = seconds % 86400;
    const year_month_day date{sys_days{std::chrono::days{days}}};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(inDay / 3600), static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60));
    return buf;
}

}  // namespace board
