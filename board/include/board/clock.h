// The board clock. Shared by every process running on one board through a
// small mapped file. Virtual by default: sleeps and device busy times advance
// it at once, so runs are fast and repeatable. With pacing on, each advance
// is also waited out in real time so a person can watch at the board's speed.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>

namespace board {

namespace os {
class Mapping;
}

class Clock {
  public:
    // Opens (creating if needed) the clock page at `file`. startTick is the
    // millisecond tick a fresh clock shows (to test the 32-bit wrap).
    Clock(const std::filesystem::path &file, uint32_t startTick);
    ~Clock();
    Clock(const Clock &) = delete;
    Clock &operator=(const Clock &) = delete;

    // Nanoseconds since the board's clock was made.
    uint64_t nowNs() const;
    void advanceNs(uint64_t ns);
    // The platform's millisecond tick: start tick + elapsed, modulo 2^32.
    uint32_t tickMs() const;

    // Pacing is a property of the process (a run), not of the board.
    static void setPaced(bool paced);
    static bool paced();

  private:
    struct Page;
    std::unique_ptr<os::Mapping> mapping_;
    Page *page_ = nullptr;
};

}  // namespace board
