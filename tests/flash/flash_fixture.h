// A board booted in this process with the flash window mapped as the update
// worker maps it, for the driver and memory map tests.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/flash.h"
#include "test_support.h"
#include "wince/host.h"
#include "wince/operator.h"

namespace flashtest {

constexpr uint32_t kBlock = board::FlashPair::kBlockSize;
constexpr uint32_t kWindowPhys = 0xA00000;  // flash address 0x9CA00000
constexpr uint32_t kWindowSize = 0x2000000;
constexpr uint32_t kReady = 0x00800080;

inline uint32_t both(uint32_t command) { return command | (command << 16); }

// Nobody is at the board: the driver never asks for anyone.
class NoOperator : public wince::Operator {
  public:
    wince::Action onDialog(const wince::DialogView &) override;
    void onMessageBox(const wince::MessageBoxView &) override;
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &) override;
};

class BootedBoard : public ::testing::Test {
  protected:
    // Makes the board with these settings, seeds it (block 0 holds a boot
    // loader, some blocks in the window hold data), boots the platform on it
    // and maps the window. Every test calls it first.
    void boot(const nlohmann::json &settings = nlohmann::json::object());
    void TearDown() override;

    // Only [first, first + length) of the flash may differ after the test.
    void mayTouch(uint32_t first, uint32_t length);
    volatile DWORD *at(uint32_t phys) const;
    void seed(uint32_t phys, const std::vector<uint8_t> &bytes);
    std::vector<uint8_t> contents(uint32_t phys, uint32_t length) const;
    std::vector<board::BusAccess> trace() const { return flash_->trace(); }
    board::FlashPair &flash() { return *flash_; }
    board::Board &board() { return wince::currentBoard(); }

    std::unique_ptr<vtest::TempBoard> temp_;
    BYTE *window_ = nullptr;
    std::unique_ptr<board::FlashPair> flash_;

  private:
    const uint8_t *arrayView();
    uint8_t *view_ = nullptr;
    std::vector<uint8_t> before_;
    std::vector<std::pair<uint32_t, uint32_t>> touchable_;
};

// A pattern that is neither blank nor the same from word to word.
std::vector<uint8_t> pattern(uint32_t length, uint32_t seed);

}  // namespace flashtest
