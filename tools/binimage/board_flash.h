// The inspector's view of a virtual board's flash.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "image.h"

namespace board {
class FlashPair;
}

// The flash of the board in `dir`, opened for reading. Throws
// board::BoardError with a one-line reason when there is no whole board
// there (no board.json, no flash.bin, a flash.bin of the wrong size).
class BoardFlash {
  public:
    explicit BoardFlash(const std::string &dir);
    ~BoardFlash();
    // For binimage::inspect: the context is this object.
    static uint32_t word(void *context, uint32_t flashAddress);

    // The first record of the image whose bytes (as the tool leaves them,
    // a later record winning where records overlap) the flash does not hold,
    // or nothing when it holds them all.
    // The image is read a chunk at a time.
    std::optional<std::string> verify(const binimage::ImageSource &image, const binimage::Report &report);

  private:
    std::unique_ptr<board::FlashPair> flash_;
};
