// The autorun agent through a long run of card mounts and removals, with
// Shift held at random: nothing grows, every card that was not passed over
// is handled once, and the agent ends cleanly when the board stops.
//
// The run takes VBOARD_SOAK_NOTIFICATIONS notifications (mounts and
// removals; 100 by default, 1000 for the full run).
#include <malloc.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include <functional>

#include "autorun.h"
#include "board/filesystem.h"
#include "board/volumes.h"
#include "test_support.h"
#include "wince/host.h"
#include "handles.h"

#if defined(__SANITIZE_ADDRESS__)
// From the address sanitizer's runtime: malloc's own figures are not kept there.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

size_t notificationsWanted() {
    const char *n = std::getenv("VBOARD_SOAK_NOTIFICATIONS");
    const long v = n != nullptr ? std::strtol(n, nullptr, 10) : 0;
    return v >= 4 ? static_cast<size_t>(v) : 100;
}

// Follows the board's event log from where it was last read.
class LogTail {
  public:
    explicit LogTail(fs::path file) : file_(std::move(file)) {}
    template <typename F> void poll(F &&each) {
        std::ifstream in(file_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof()) break;  // a line still being written
            offset_ += line.size() + 1;
            each(nlohmann::json::parse(line));
        }
    }

  private:
    fs::path file_;
    size_t offset_ = 0;
};

TEST(Soak, TheAgentThroughManyMountsAndRemovalsWithShiftAtRandom) {
    const size_t cards = notificationsWanted() / 2;  // a mount and a removal each
    vtest::TempBoard board;
    wince::boot(board.dir(), nullptr, "autorun-agent");
    board::Board &b = wince::currentBoard();

    // Every card: a file to copy, a program, and a shortcut that starts the
    // program again with an argument.
    std::vector<std::string> names(cards);
    for (size_t i = 0; i < cards; ++i) {
        names[i] = "Card" + std::to_string(1000 + i);
        const fs::path d = board.dir() / "cards" / names[i];
        fs::create_directories(d / "AutoRun");
        fs::create_directories(d / "AutoCopy" / "sub");
        vtest::writeFile(d / "AutoCopy" / (names[i] + ".txt"), names[i]);
        vtest::writeFile(d / "AutoCopy" / "sub" / "ignored.txt", "x");
        vtest::writeFile(d / "AutoRun" / (names[i] + ".exe"), "MZ");
        vtest::writeFile(d / "AutoRun" / "go.lnk", "40#\"\\" + names[i] + "\\AutoRun\\" + names[i] + ".exe\" -again");
    }
    std::vector<int> exeStarts(cards, 0), linkStarts(cards, 0), mounted(cards, 0), removed(cards, 0);
    std::vector<bool> shifted(cards, false);
    auto cardOf = [&](const std::string &path) -> long {
        // "\CardNNNN..." -> index
        if (path.size() < 9 || path.compare(0, 5, "\\Card") != 0) return -1;
        const long n = std::strtol(path.substr(5, 4).c_str(), nullptr, 10) - 1000;
        return n >= 0 && static_cast<size_t>(n) < cards ? n : -1;
    };
    LogTail tail(board.dir() / "events.jsonl");
    auto pump = [&] {
        tail.poll([&](const nlohmann::json &e) {
            const std::string kind = e.value("event", "");
            if (kind == "volume_announced") {
                const long c = cardOf(e["name"]);
                if (c >= 0) ++(e["attached"].get<bool>() ? mounted : removed)[static_cast<size_t>(c)];
            } else if (kind == "process") {
                const long c = cardOf(e["image"]);
                if (c < 0) return;
                if (e["command_line"].is_null()) ++exeStarts[static_cast<size_t>(c)];
                else if (e["command_line"] == "-again") ++linkStarts[static_cast<size_t>(c)];
            }
        });
    };
    auto waitUntil = [&](const std::function<bool()> &done) {
        const auto until = std::chrono::steady_clock::now() + 20s;
        for (;;) {
            pump();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(1ms);
        }
    };

    const size_t handlesBefore = wince::openHandleCount();
    auto agent = std::async(std::launch::async, [] { return WatchMounts(); });

    std::mt19937 rng(20070305);
    // Figures are taken once every cache of the platform has filled.
    const size_t warm = std::min<size_t>(std::max<size_t>(cards / 10, 20), cards / 2);
    size_t heapWarm = 0, handlesWarm = 0;
    int threadsWarm = 0;
    for (size_t i = 0; i < cards; ++i) {
        if (i == warm) {
            // The names kept of the folders copied into mirror those
            // folders, and the board's gains a file per card.
            board::forgetKeptFolderNames();
            heapWarm = heapInUse();
            handlesWarm = wince::openHandleCount();
            threadsWarm = vtest::processThreads();
        }
        shifted[i] = rng() % 4 == 0;
        board::setKeyHeld(b, "shift", shifted[i]);
        board::mountVolume(b, names[i], board.dir() / "cards" / names[i]);
        ASSERT_TRUE(waitUntil([&] { return mounted[i] == 1; })) << names[i] << " was never announced";
        if (shifted[i]) {
            // Give the agent time to read it while Shift is down.
            std::this_thread::sleep_for(20ms);
            board::setKeyHeld(b, "shift", false);
        } else {
            ASSERT_TRUE(waitUntil([&] { return exeStarts[i] == 1 && linkStarts[i] == 1; }))
                << names[i] << " was never handled";
        }
        board::unmountVolume(b, names[i]);
        ASSERT_TRUE(waitUntil([&] { return removed[i] == 1; })) << names[i] << " removal was never announced";
    }
    // Let the last removals be read, then take the figures.
    std::this_thread::sleep_for(100ms);
    pump();
    board::forgetKeptFolderNames();
    const size_t heapEnd = heapInUse();
    const size_t handlesEnd = wince::openHandleCount();
    const int threadsEnd = vtest::processThreads();

    board::requestStop(b);
    ASSERT_EQ(agent.wait_for(20s), std::future_status::ready) << "the agent did not end when the board stopped";
    EXPECT_EQ(agent.get(), 0);
    EXPECT_EQ(wince::openHandleCount(), handlesBefore) << "the agent left handles open";

    size_t handled = 0, dropped = 0;
    for (size_t i = 0; i < cards; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(exeStarts[i], linkStarts[i]) << "a card handled in part";
        EXPECT_LE(exeStarts[i], 1) << "a card handled more than once";
        const bool copied = fs::exists(board.files() / (names[i] + ".txt"));
        EXPECT_EQ(copied, exeStarts[i] == 1);
        if (!shifted[i]) {
            EXPECT_EQ(exeStarts[i], 1) << "a card without Shift was not handled";
        }
        (exeStarts[i] == 1 ? handled : dropped)++;
    }
    EXPECT_EQ(handlesEnd, handlesWarm);
    EXPECT_EQ(threadsEnd, threadsWarm);
    const long growth = static_cast<long>(heapEnd) - static_cast<long>(heapWarm);
    // Flat: what the platform's bounded caches hold (8-9 KB, the same for 50
    // cards as for 500), nothing per card.
    const long limit = 12288 + 16 * static_cast<long>(cards - warm);
    EXPECT_LT(growth, limit) << "the heap grew by " << growth << " bytes";
    RecordProperty("notifications", static_cast<int>(2 * cards));
    RecordProperty("handled", static_cast<int>(handled));
    RecordProperty("dropped", static_cast<int>(dropped));
    RecordProperty("heap_growth_bytes", static_cast<int>(growth));
    std::printf(
        "soak: %zu notifications, %zu cards handled, %zu passed over with Shift; heap %zu -> %zu bytes, "
        "handles %zu -> %zu, threads %d -> %d\n",
        2 * cards, handled, dropped, heapWarm, heapEnd, handlesWarm, handlesEnd, threadsWarm, threadsEnd);
    wince::shutdown();
}

}  // namespace
