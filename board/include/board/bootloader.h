// What a new board's flash holds: the boot loader in block 0, with its
// banner and version text, and a bootable default image at the start of the
// image window (board/boot.h), whose default.fdf carries the build time.
//
// Settings (read when the board is made):
//   /bootloader/version        8-bit version text behind the banner (UTF-8 in
//                              the settings, stored in the board's code page)
//   /bootloader/banner_offset  byte offset of the banner in block 0
//   /image/build_time          time of the default image's files, ISO-8601 UTC
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace board {

inline constexpr char kBootloaderBanner[] = "Microsoft Windows CE Ethernet Bootloader ";
inline constexpr const char *kDefaultBootloaderVersion = "1.3.0 Built Mar 05 2007";
inline constexpr uint32_t kDefaultBannerOffset = 0x1C40;
inline constexpr const char *kDefaultBuildTime = "2007-03-05T14:03:09Z";
inline constexpr const char *kImageFile = "\\Windows\\default.fdf";

// Lays down block 0 and the default image in the new board at `boardDir` (its
// settings and flash already made). Throws BoardError on bad settings.
void createBootContents(const std::filesystem::path &boardDir);

// The boot loader's bytes from physical address 0: vectors, code, its
// message texts, and the banner followed by `version8bit` and a NUL at
// `bannerOffset`.
std::vector<uint8_t> bootloaderArea(const std::string &version8bit, uint32_t bannerOffset);

// UTF-8 to the board's 8-bit code page (Windows-1252 in 0x80-0x9F, Latin-1
// elsewhere); characters it lacks become "?".
std::string toBoardCodePage(const std::string &utf8);

// "YYYY-MM-DDTHH:MM:SS[.fraction]Z" as a FILETIME value (100 ns since 1601).
uint64_t fileTimeFromIso8601(const std::string &text);

}  // namespace board
