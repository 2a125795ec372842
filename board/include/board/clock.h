// The board clock. Shared by every process running on one board through a
// small mapped file. Virtual by default: sleeps and device busy times advance
// it at once, so runs are fast and repeatable. With pacing on, a process keeps
// the board time from running ahead of the wall clock: board time t is not
// passed before wall time (start of the run) + (t - board time at the start),
// so the host's own work is not added on top of the board's.
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
    // Moves the board time on by `ns` and returns where it stands then.
    uint64_t advanceNs(uint64_t ns);
    // The same for a caller that holds a lock shared by every process and
    // thread that calls this (the flash bus's): cheaper, no locked add.
    uint64_t advanceOneWriterNs(uint64_t ns);
    // Paced: waits until the wall clock has caught up with the board time.
    // Does nothing otherwise. Call it holding no lock: others may go on.
    void keepPace() const;
    // The platform's millisecond tick: start tick + elapsed, modulo 2^32.
    uint32_t tickMs() const;

    // Pacing is a property of the process (a run), not of the board; the run
    // starts when the process first opens a board clock.
    static void setPaced(bool paced);
    static bool paced();

  private:
    struct Page;
    std::unique_ptr<os::Mapping> mapping_;
    Page *page_ = nullptr;
};

}  // namespace board
