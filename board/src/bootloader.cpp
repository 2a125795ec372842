#include "board/bootloader.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "board/board.h"
#include "board/boot.h"
#include "board/flash.h"

namespace board {

namespace fs = std::filesystem;

namespace {

constexpr size_t kBannerLength = sizeof(kBootloaderBanner) - 1;
constexpr uint32_t kTextsOffset = 0x1800;  // the loader's own message texts
constexpr size_t kLoaderSize = 0x2000;

// The loader's messages, as its console prints them.
const char *const kLoaderTexts[] = {
    "\r\nBoot loader configuration:\r\n",
    "  IP address ......... %s\r\n",
    "  Subnet mask ........ %s\r\n",
    "  Boot delay ......... %d seconds\r\n",
    "Press [ENTER] to boot the image in flash, [SPACE] for the menu.\r\n",
    "Downloading image over Ethernet...\r\n",
    "Image in flash is not valid.\r\n",
    "Jumping to image at 0x%x\r\n",
};

void putWord(std::vector<uint8_t> &bytes, size_t at, uint32_t word) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(word >> (8 * i));
}

}  // namespace

std::vector<uint8_t> bootloaderArea(const std::string &version8bit, uint32_t bannerOffset) {
    static const char kAfterVersion[] = "\r\n";
    const size_t bannerEnd = size_t{bannerOffset} + kBannerLength + version8bit.size() + 1 + sizeof(kAfterVersion);
    std::vector<uint8_t> bytes(std::max(kLoaderSize, bannerEnd), 0xFF);

    // Exception vectors: "ldr pc, [pc, #0x18]", each to its handler address.
    for (uint32_t i = 0; i < 8; ++i) {
        putWord(bytes, 4 * i, 0xE59FF018);
        putWord(bytes, 0x20 + 4 * i, 0x00000100 + 0x40 * i);
    }
    // Code: instruction-like words from a fixed generator, the same on every board.
    uint32_t seed = 0x2007;
    for (size_t at = 0x40; at + 4 <= kTextsOffset; at += 4) {
        seed = seed * 1664525u + 1013904223u;
        putWord(bytes, at, 0xE0000000u | (seed >> 8));
    }
    size_t at = kTextsOffset;
    for (const char *text : kLoaderTexts) {
        const size_t n = std::strlen(text) + 1;
        std::memcpy(bytes.data() + at, text, n);
        at += (n + 3) & ~size_t{3};
    }

    // The banner and the version text, as the loader prints them at start.
    at = bannerOffset;
    std::memcpy(bytes.data() + at, kBootloaderBanner, kBannerLength);
    at += kBannerLength;
    std::memcpy(bytes.data() + at, version8bit.data(), version8bit.size());
    at += version8bit.size();
    bytes[at++] = 0;
    std::memcpy(bytes.data() + at, kAfterVersion, sizeof(kAfterVersion));
    return bytes;
}

std::string toBoardCodePage(const std::string &utf8) {
    static const char16_t k1252[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        uint32_t c = b;
        size_t len = 1;
        if (b >= 0xC0 && b < 0xE0 && i + 1 < utf8.size()) {
            c = ((b & 0x1Fu) << 6) | (utf8[i + 1] & 0x3F);
            len = 2;
        } else if (b >= 0xE0 && b < 0xF0 && i + 2 < utf8.size()) {
            c = ((b & 0x0Fu) << 12) | ((utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F);
            len = 3;
        } else if (b >= 0xF0) {
            c = 0x10000;  // nothing the code page has
            len = 4;
        } else if (b >= 0x80) {
            c = 0x10000;
        }
        i += len;
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out += static_cast<char>(c);
            continue;
        }
        char mapped = '?';
        for (int k = 0; k < 32; ++k)
            if (k1252[k] == c) mapped = static_cast<char>(0x80 + k);
        out += mapped;
    }
    return out;
}

uint64_t fileTimeFromIso8601(const std::string &text) {
    const auto bad = [&text]() {
        return BoardError("the time \"" + text + "\" is not of the form YYYY-MM-DDTHH:MM:SSZ (UTC)");
    };
    const auto digits = [&](size_t at, size_t n) {
        unsigned v = 0;
        for (size_t i = at; i < at + n; ++i) {
            if (i >= text.size() || text[i] < '0' || text[i] > '9') throw bad();
            v = v * 10 + static_cast<unsigned>(text[i] - '0');
        }
        return v;
    };
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != 't') ||
        text[13] != ':' || text[16] != ':')
        throw bad();
    const unsigned y = digits(0, 4), mo = digits(5, 2), d = digits(8, 2);
    const unsigned h = digits(11, 2), mi = digits(14, 2), s = digits(17, 2);
    uint64_t fraction = 0;  // in 100 ns
    size_t at = 19;
    if (text[at] == '.') {
        size_t n = 0;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++n)
            if (n < 7) fraction = fraction * 10 + static_cast<unsigned>(text[at] - '0');
        if (n == 0) throw bad();
        for (; n < 7; ++n) fraction *= 10;
    }
    if (at + 1 != text.size() || (text[at] != 'Z' && text[at] != 'z')) throw bad();

    using namespace std::chrono;
    const year_month_day date{year{static_cast<int>(y)}, month{mo}, day{d}};
    if (!date.ok() || y < 1601 || h > 23 || mi > 59 || s > 59) throw bad();
    constexpr int64_t kDaysFrom1601To1970 = 134774;
    const int64_t days = sys_days{date}.time_since_epoch().count() + kDaysFrom1601To1970;
    const uint64_t seconds = static_cast<uint64_t>(days) * 86400 + (h * 60 + mi) * 60 + s;
    return seconds * 10000000 + fraction;
}

void createBootContents(const fs::path &boardDir) {
    auto board = Board::open(boardDir);
    const std::string version =
        toBoardCodePage(board->setting<std::string>("/bootloader/version", kDefaultBootloaderVersion));
    const uint32_t offset = board->setting<uint32_t>("/bootloader/banner_offset", kDefaultBannerOffset);
    if (size_t{offset} + kBannerLength + version.size() + 1 > FlashPair::kBlockSize)
        throw BoardError("the boot loader banner at offset " + std::to_string(offset) +
                         " with its version text does not fit in block 0");
    const uint64_t built = fileTimeFromIso8601(board->setting<std::string>("/image/build_time", kDefaultBuildTime));

    std::vector<uint8_t> area = bootloaderArea(version, offset);
    if (area.size() > FlashPair::kBlockSize) area.resize(FlashPair::kBlockSize);  // the trailing line end
    FlashPair flash(boardDir);
    flash.writeArray(0, area);
    // A bootable image at the window's start, and the folder it shows in.
    flash.writeArray(kImageWindowBase - kKernelFlashBase, defaultImage(built));
    std::error_code ec;
    fs::create_directories(board->filesRoot() / "Windows", ec);
    if (ec) throw BoardError("cannot make " + (board->filesRoot() / "Windows").string() + ": " + ec.message());
}

}  // namespace board
