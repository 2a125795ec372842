#include "board_flash.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>
#include <filesystem>

#include "board/board.h"
#include "board/flash.h"

namespace {

// Kernel flash addresses are physical + 0x9C000000.
constexpr uint32_t kKernelBase = 0x9C000000;

}  // namespace

BoardFlash::BoardFlash(const std::string &dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) throw board::BoardError("no virtual board at " + dir);
    if (!fs::exists(fs::path(dir) / "board.json", ec))
        throw board::BoardError("no virtual board at " + dir + " (it has no board.json)");
    // Checked before the board is opened, which would touch its files.
    const fs::path array = fs::path(dir) / "flash.bin";
    if (!fs::is_regular_file(array, ec)) throw board::BoardError("the board at " + dir + " has no flash.bin");
    if (fs::file_size(array, ec) != board::FlashPair::kSize)
        throw board::BoardError(array.string() + " is not the size it must be (" +
                                std::to_string(board::FlashPair::kSize) + " bytes): a damaged board");
    if (!fs::is_regular_file(fs::path(dir) / "flash.state", ec))
        throw board::BoardError("the board at " + dir + " has no flash.state");
    flash_ = std::make_unique<board::FlashPair>(dir);
}

BoardFlash::~BoardFlash() = default;

uint32_t BoardFlash::word(void *context, uint32_t flashAddress) {
    const auto bytes = static_cast<BoardFlash *>(context)->flash_->readArray(flashAddress - kKernelBase, 4);
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::optional<std::string> BoardFlash::verify(const binimage::ImageSource &image, const binimage::Report &report) {
    constexpr uint32_t kChunk = 64 * 1024;
    std::vector<const binimage::Record *> written;
    for (const auto &r : report.records)
        if (r.flashAddress != 0 && r.length != 0 && r.dataComplete) written.push_back(&r);
    std::vector<uint8_t> data(kChunk);
    std::vector<bool> later(kChunk);
    for (size_t i = 0; i < written.size(); ++i) {
        const binimage::Record &r = *written[i];
        for (uint64_t done = 0; done < r.length; done += kChunk) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, r.length - done));
            const uint64_t at = r.flashAddress + done;
            if (image.read(r.dataOffset + done, data.data(), n) != n)
                throw std::runtime_error("the image file was cut short while it was read");
            // Bytes a later record writes again are that record's to hold.
            std::fill(later.begin(), later.begin() + n, false);
            for (size_t k = i + 1; k < written.size(); ++k) {
                const uint64_t lo = std::max<uint64_t>(at, written[k]->flashAddress);
                const uint64_t hi = std::min<uint64_t>(at + n, uint64_t{written[k]->flashAddress} + written[k]->length);
                if (lo < hi)
                    std::fill(later.begin() + static_cast<long>(lo - at), later.begin() + static_cast<long>(hi - at),
                              true);
            }
            const auto held = flash_->readArray(static_cast<uint32_t>(at - kKernelBase), n);
            for (uint32_t b = 0; b < n; ++b) {
                if (later[b] || held[b] == data[b]) continue;
                char where[64];
                std::snprintf(where, sizeof where, "record at %08x", r.flashAddress);
                return std::string(where);
            }
        }
    }
    return std::nullopt;
}
