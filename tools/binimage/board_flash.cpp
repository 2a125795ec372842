#include "board_flash.h"

#include <cstdio>
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

std::optional<std::string> BoardFlash::verify(const std::string &imageBytes, const binimage::Report &report) {
    for (const auto &[at, data] : binimage::writtenContents(imageBytes, report)) {
        const auto held = flash_->readArray(at - kKernelBase, static_cast<uint32_t>(data.size()));
        if (std::string(held.begin(), held.end()) != data) {
            char where[64];
            std::snprintf(where, sizeof where, "record at %08x", at);
            return std::string(where);
        }
    }
    return std::nullopt;
}
