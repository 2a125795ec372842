// Small helpers for the update tests: images put on the board, the flash
// seen at flash addresses.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "image.h"
#include "test_support.h"
#include "wince/host.h"

namespace vtest::images {

using nlohmann::json;

constexpr uint32_t kBase = 0x9CA00000;  // flash address of the image flash
constexpr uint32_t kBlock = 0x40000;    // one erase block of the pair
constexpr uint32_t kArrayBase = 0x9C000000;

// The tool alone: its reboot returns, and it runs whatever image the test
// left in the flash (the board's boot check is tested on its own).
inline const json kReturningReboot = {{"hal", {{"reboot", "return"}}}, {"boot", {{"without_image", true}}}};

// An image of records laid one after the other from `start`; the header's
// length is `length`, or what the records cover.
inline json consecutive(uint32_t start, const std::vector<uint32_t> &sizes, uint32_t length = 0) {
    json d = {{"start", start}, {"records", json::array()}};
    uint32_t at = start;
    for (uint32_t s : sizes) {
        d["records"].push_back({{"address", at}, {"size", s}});
        at += (s + 3) & ~3u;
    }
    d["length"] = length != 0 ? length : at - start;
    return d;
}

// Writes the image into the board's root folder; returns its board path.
inline std::u16string put(const TempBoard &board, const std::string &name, const json &description) {
    writeFile(board.files() / name, binimage::build(description));
    return wince::toUtf16("\\" + name);
}

// The records of an image as (flash address, bytes).
inline std::vector<std::pair<uint32_t, std::string>> records(const json &description) {
    const std::string bytes = binimage::build(description);
    std::vector<std::pair<uint32_t, std::string>> out;
    for (const auto &r : binimage::inspect(bytes).records)
        if (r.flashAddress != 0) out.emplace_back(r.flashAddress, bytes.substr(r.dataOffset, r.length));
    return out;
}

// Old data in the flash, as on a board that already holds an image.
inline void seedOld(const TempBoard &board, uint32_t from, uint32_t size) {
    auto bytes = readFile(board.dir() / "flash.bin");
    for (uint32_t i = 0; i < size; ++i) bytes[from - kArrayBase + i] = static_cast<char>(0x5A ^ (i & 0x7F));
    writeFile(board.dir() / "flash.bin", bytes);
}

inline std::string at(const std::string &flash, uint32_t flashAddress, size_t size) {
    return flash.substr(flashAddress - kArrayBase, size);
}

inline bool blank(const std::string &flash, uint32_t from, uint32_t to) {
    for (uint32_t a = from; a < to; ++a)
        if (static_cast<uint8_t>(flash[a - kArrayBase]) != 0xFF) return false;
    return true;
}

}  // namespace vtest::images
