// The board's boot loader at power-on and reboot: it checks the image in the
// flash window (board/image_contents.h) and either starts it or stays in the
// loader. The outcome is logged as one "boot" event and kept in
// <board>/boot.json; a started image's modules and files are laid down in
// <board>/rom, where "\Windows" shows them (image_files).
//
// Setting: /boot/without_image  true lets programs start on a board that did
//                               not boot (tests of the programs alone)
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "board/board.h"
#include "board/image_contents.h"

namespace board {

// A program started on a board whose last boot failed.
class BoardNotBooted : public BoardError {
  public:
    using BoardError::BoardError;
};

inline constexpr const char *kNotValidText = "Image in flash is not valid.";

struct BootOutcome {
    bool ok = false;
    std::string text;    // the loader's line
    std::string reason;  // when not ok
    uint32_t address = 0;
    std::string buildTime;  // ISO-8601, when the image names one
    uint32_t modules = 0, files = 0;
    // The "boot" event's fields.
    nlohmann::json event() const;
    // One line for people: the loader's line and what it started, or why not.
    std::string line() const;
};

// The check alone, on the flash as it is (no log, no state).
BootOutcome checkBootImage(const Board &board, ImageContents *contents = nullptr);
// The boot loader's run: check, log, keep the outcome, lay down the image's
// files. Called by Board::powerUp.
BootOutcome bootBoard(Board &board);
// The outcome kept by the last boot, if the board booted since it was made.
std::optional<BootOutcome> lastBoot(const Board &board);
// Throws BoardNotBooted, with the reason and the way back, when the last boot
// failed and the board's settings do not let programs start without an image.
void requireBooted(const Board &board);

// The image the board is made with: the modules and files of a small OS image
// built at `buildTime` (FILETIME), laid out from image address 0x80080000,
// which the update tool's translation puts at the window's start.
std::vector<uint8_t> defaultImage(uint64_t buildTime);

// --- The running image's files (image_files.cpp) ------------------------
// The host folder that holds them.
std::filesystem::path imageFilesDir(const Board &board);
// Replaces what the folder holds with the image's entries; `flash` gives the
// files' bytes.
void layDownImageFiles(const Board &board, const ImageContents &contents, const ImageBytes &flash);
void removeImageFiles(const Board &board);
// The host file of the running image's entry `name` (any case), if any.
std::optional<std::filesystem::path> imageFile(const Board &board, const std::string &name);
// True for a host path inside the image's folder: such files are read-only.
bool isImageFile(const Board &board, const std::filesystem::path &host);

}  // namespace board
