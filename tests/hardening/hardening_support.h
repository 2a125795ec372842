// Programs run in the background on a board, to be cut off or raced, and the
// checks every hardening test makes of the board afterwards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/flash.h"
#include "test_support.h"

namespace hardening {

// A program started on a board and not waited for (tests/support).
using Background = vtest::Background;

// A board whose event log file is not made yet: the next entry makes it.
struct BoardWithoutLog {
    vtest::TempBoard temp;
    std::unique_ptr<board::Board> board = board::Board::open(temp.dir());
    std::filesystem::path log = board->log().file();
    BoardWithoutLog() { std::filesystem::remove(log); }
};

// The environment that boots a program on `board` with `script` as operator.
std::map<std::string, std::string> boardEnv(const vtest::TempBoard &board, const std::string &scriptFile, bool paced);

// Why the board folder is unusable, or "" when every file of it opens and
// reads back whole: settings, flash array and state, event log.
std::string folderProblem(const vtest::TempBoard &board);

// Bus words where the devices do not answer with the array (not in read
// mode), among `addresses`.
std::vector<uint32_t> notInReadMode(board::FlashPair &flash, const std::vector<uint32_t> &addresses);

// Checks that the writes of a bus trace form whole command sequences, one
// after the other: an erase set-up followed by its confirm, a buffer load
// (set-up, count, that many data words inside one buffer, confirm), and no
// write while an erase or a program is still busy. Gives the first place
// where another owner's command cut in, or "" when there is none.
std::string interleaving(const std::vector<board::BusAccess> &trace);

}  // namespace hardening

namespace hardening {

// Why the flash array `flash` (all 64 MB) does not hold the image `image`
// (.bin bytes) in [from, to) — every record in place, the rest erased — or "".
std::string imageProblem(const std::string &flash, const std::string &image, uint32_t from, uint32_t to);

}  // namespace hardening
