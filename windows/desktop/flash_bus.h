// The board's NOR flash pair as a Windows process drives it: the board's own
// device model on the board folder, so the devices' state, the board clock,
// the bus trace and the injected faults are the ones every other program on
// the board sees.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "board/flash.h"

namespace desktop {

class FlashBus {
  public:
    static constexpr uint32_t kSize = board::FlashPair::kSize;

    // Opened on first use from the board folder.
    static FlashBus &get();

    uint32_t read32(uint32_t address);
    void write32(uint32_t address, uint32_t value);

    // A section object of flash.bin, for read-only views of the array.
    HANDLE section() const { return section_; }

  private:
    FlashBus();
    std::unique_ptr<board::FlashPair> pair_;
    HANDLE section_ = nullptr;
};

}  // namespace desktop
