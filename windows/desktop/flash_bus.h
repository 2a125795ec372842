// The board's NOR flash pair as a Windows process drives it: the array is
// the board folder's flash.bin, mapped shared; the two devices are the
// board's own device model. Their state is kept in this process and starts
// as at power-up, since the board's shared state page holds a POSIX lock a
// Windows process cannot take. Busy times run on real time, as the
// program's GetTickCount and Sleep do here.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "flash_device.h"

namespace desktop {

class FlashBus {
  public:
    static constexpr uint32_t kSize = 64u << 20;
    static constexpr uint32_t kBlockCount = kSize / 0x40000;

    // Opened on first use from the board folder.
    static FlashBus &get();

    uint32_t read32(uint32_t address);
    void write32(uint32_t address, uint32_t value);

    // The section object of flash.bin, for read-only views of the array.
    HANDLE section() const { return section_; }

  private:
    FlashBus();
    uint64_t nowNs() const;

    std::mutex lock_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE section_ = nullptr;
    uint8_t *array_ = nullptr;
    LARGE_INTEGER start_{};
    LARGE_INTEGER frequency_{};
    std::array<board::flash::DeviceState, 2> state_{};
    std::array<std::array<uint8_t, kBlockCount>, 2> faults_{};
    std::array<std::vector<board::flash::StuckBit>, 2> stuck_;
    std::array<board::flash::DeviceContext, 2> context_{};
};

}  // namespace desktop
