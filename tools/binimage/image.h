// Windows CE binary image files (.bin) on the host: reading one for the
// inspector and writing one from a description for tests and demos.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace binimage {

// The flash window the update tool maps: 32 MB from kernel address 0x9CA00000
// in blocks of 256 KB.
constexpr uint32_t kFlashBase = 0x9CA00000;
constexpr uint32_t kWindowSize = 0x2000000;
constexpr uint32_t kBlockSize = 0x40000;

uint32_t imageOffsetFor(uint32_t imageStart);
uint32_t checksumOf(const uint8_t *data, size_t size);

struct Record {
    uint32_t rawAddress = 0;
    uint32_t flashAddress = 0;  // translated; 0 ends the image
    uint32_t length = 0;
    uint32_t checksum = 0;
    uint64_t dataOffset = 0;    // in the file
    bool dataComplete = false;
    bool checksumValid = false;
};

struct Finding {
    enum Severity { Note, Refusal } severity;
    std::string message;
};

struct Report {
    bool signatureOk = false;
    bool headerComplete = false;
    uint32_t rawStart = 0, start = 0, length = 0, offset = 0;
    std::vector<Record> records;
    bool terminated = false;
    std::vector<uint32_t> eraseBlocks;  // flash addresses
    std::vector<Finding> findings;
    // The message the update tool shows when it refuses the image, if it does.
    std::optional<std::string> refusal;
};

// Reads the image as the update tool walks it before erasing anything.
// `blank` answers whether a flash range outside the erased blocks reads blank
// (without a board, ranges are assumed blank and a note is made).
using BlankQuery = bool (*)(void *context, uint32_t flashAddress, uint32_t length);
Report inspect(const std::string &bytes, BlankQuery blank = nullptr, void *context = nullptr);

// Builds image bytes from a JSON description (see tools/README.md).
std::string build(const nlohmann::json &description);
// A plausible OS image of about `size` bytes in several records.
nlohmann::json sampleDescription(uint32_t size, uint32_t seed);

}  // namespace binimage
