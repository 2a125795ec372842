#include "board_blank.h"

#include <filesystem>
#include <memory>

#include "board/flash.h"

namespace {

// Kernel flash addresses are physical + 0x9C000000.
constexpr uint32_t kKernelBase = 0x9C000000;

bool rangeIsBlank(void *context, uint32_t flashAddress, uint32_t length) {
    auto *flash = static_cast<board::FlashPair *>(context);
    for (uint8_t b : flash->readArray(flashAddress - kKernelBase, length))
        if (b != 0xFF) return false;
    return true;
}

}  // namespace

binimage::BlankQuery boardBlankQuery(const std::string &dir, void **context) {
    if (!std::filesystem::exists(std::filesystem::path(dir) / "flash.bin")) return nullptr;
    // Lives for the rest of the process, as the inspector's query does.
    static std::unique_ptr<board::FlashPair> flash;
    flash = std::make_unique<board::FlashPair>(dir);
    *context = flash.get();
    return rangeIsBlank;
}

std::optional<std::string> verifyOnBoard(const std::string &imageBytes, const binimage::Report &report,
                                         void *context) {
    auto *flash = static_cast<board::FlashPair *>(context);
    for (const auto &r : report.records) {
        if (r.flashAddress == 0 || r.length == 0) continue;
        const auto held = flash->readArray(r.flashAddress - kKernelBase, r.length);
        if (std::string(held.begin(), held.end()) != imageBytes.substr(r.dataOffset, r.length)) {
            char where[64];
            std::snprintf(where, sizeof where, "record at %08x", r.flashAddress);
            return std::string(where);
        }
    }
    return std::nullopt;
}
