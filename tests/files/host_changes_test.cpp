// The board keeps what it learned of its state files and of the folders it
// copies into for as long as the host reports no change. Whatever the host
// does behind the program's back, the next call must see it: a volume table
// rewritten, a destination folder moved and a link put in its place.
#include <dirent.h>
#include <sys/stat.h>

#include <functional>
#include <set>

#include "board/filesystem.h"
#include "board/volumes.h"
#include "board_fixture.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> volumeNames(const board::Board &b) {
    std::set<std::string> out;
    for (const auto &v : board::mountedVolumes(b)) out.insert(v.name);
    return out;
}

struct TableChange {
    const char *name;
    // Done on the host with the table file and the text it held with only
    // "One" mounted.
    std::function<void(const fs::path &table, const std::string &oneOnly)> change;
    std::set<std::string> after;
};

void PrintTo(const TableChange &c, std::ostream *os) { *os << c.name; }

class StateFile : public OnBoard, public ::testing::WithParamInterface<TableChange> {};

TEST_P(StateFile, TheNextReadSeesAHostChange) {
    const TableChange &c = GetParam();
    const fs::path table = board_.dir() / "volumes.json";
    fs::create_directories(board_.dir() / "one");
    fs::create_directories(board_.dir() / "two");
    board::mountVolume(board(), "One", board_.dir() / "one");
    const std::string oneOnly = vtest::readFile(table);
    board::mountVolume(board(), "Two", board_.dir() / "two");
    // Read twice: the second answer comes from what was kept.
    ASSERT_EQ(volumeNames(board()), (std::set<std::string>{"One", "Two"}));
    ASSERT_EQ(volumeNames(board()), (std::set<std::string>{"One", "Two"}));
    c.change(table, oneOnly);
    EXPECT_EQ(volumeNames(board()), c.after);
    EXPECT_EQ(volumeNames(board()), c.after);
    const fs::path aside = board_.dir().string() + "-aside";
    if (fs::exists(aside)) {  // the board folder back, for the tear-down
        fs::remove_all(board_.dir());
        fs::rename(aside, board_.dir());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StateFile,
    ::testing::Values(TableChange{"ReplacedByRename",
                                  [](const fs::path &table, const std::string &text) {
                                      vtest::writeFile(table.string() + ".new", text);
                                      fs::rename(table.string() + ".new", table);
                                  },
                                  {"One"}},
                      TableChange{"WrittenInPlace",
                                  [](const fs::path &table, const std::string &text) { vtest::writeFile(table, text); },
                                  {"One"}},
                      TableChange{"Removed", [](const fs::path &table, const std::string &) { fs::remove(table); }, {}},
                      TableChange{"RemovedThenMadeAgain",
                                  [](const fs::path &table, const std::string &text) {
                                      fs::remove(table);
                                      vtest::writeFile(table, text);
                                  },
                                  {"One"}},
                      // The whole board folder moved aside and another put in its place.
                      TableChange{"ItsFolderReplaced",
                                  [](const fs::path &table, const std::string &text) {
                                      const fs::path dir = table.parent_path();
                                      fs::rename(dir, dir.string() + "-aside");
                                      fs::create_directory(dir);
                                      vtest::writeFile(table, text);
                                  },
                                  {"One"}}),
    [](const ::testing::TestParamInfo<TableChange> &info) { return std::string(info.param.name); });

// A table read and then written by this process within one operation: the
// read after the write sees the write, reports taken or not.
TEST_F(OnBoard, AWriteOfItsOwnIsSeenWithinOneOperation) {
    fs::create_directories(board_.dir() / "one");
    fs::create_directories(board_.dir() / "two");
    board::mountVolume(board(), "One", board_.dir() / "one");
    board::ReportsTakenOnce once;
    ASSERT_EQ(volumeNames(board()), (std::set<std::string>{"One"}));
    board::mountVolume(board(), "Two", board_.dir() / "two");
    EXPECT_EQ(volumeNames(board()), (std::set<std::string>{"One", "Two"}));
    board::unmountVolume(board(), "One");
    EXPECT_EQ(volumeNames(board()), (std::set<std::string>{"Two"}));
}

struct WayChange {
    const char *name;
    const char *folder;  // the destination folder, under the files folder
    // Done on the host between the first copy and the second.
    std::function<void(const fs::path &files)> change;
    DWORD error;          // of the second copy; 0: it copies
    const char *landsIn;  // where the second copy's file is then, under the files folder
};

void PrintTo(const WayChange &c, std::ostream *os) { *os << c.name; }

class KeptOpenFolder : public OnBoard, public ::testing::WithParamInterface<WayChange> {};

// A folder link is no folder on the board: a copy through one is refused,
// even into a folder copied into before by that path.
TEST_P(KeptOpenFolder, TheNextCopyFollowsTheHostsChange) {
    const WayChange &c = GetParam();
    put(files() / "src.txt", "new");
    fs::create_directories(files() / c.folder);
    const std::string folder = std::string("\\") + c.folder;
    std::string boardFolder = folder;
    for (auto &ch : boardFolder) ch = ch == '/' ? '\\' : ch;
    ASSERT_TRUE(CopyFileW(u"\\src.txt", W(boardFolder + "\\first.txt").c_str(), FALSE));
    c.change(files());
    SetLastError(0);
    const bool copied = CopyFileW(u"\\src.txt", W(boardFolder + "\\second.txt").c_str(), FALSE) != FALSE;
    EXPECT_EQ(copied, c.error == 0);
    if (!copied) {
        EXPECT_EQ(GetLastError(), c.error);
    }
    std::set<std::string> found;
    for (auto &e : fs::recursive_directory_iterator(files()))
        if (e.path().filename() == "second.txt") found.insert(e.path().lexically_relative(files()).generic_string());
    EXPECT_EQ(found, c.landsIn ? std::set<std::string>{c.landsIn} : std::set<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, KeptOpenFolder,
                         ::testing::Values(WayChange{"FolderMovedAndALinkInItsPlace", "Dir",
                                                     [](const fs::path &files) {
                                                         fs::rename(files / "Dir", files / "Moved");
                                                         fs::create_directory_symlink("Moved", files / "Dir");
                                                     },
                                                     ERROR_INVALID_NAME, nullptr},
                                           WayChange{"FolderOnTheWayMovedAndALinkInItsPlace", "Top/Dir",
                                                     [](const fs::path &files) {
                                                         fs::rename(files / "Top", files / "Other");
                                                         fs::create_directory_symlink("Other", files / "Top");
                                                     },
                                                     ERROR_INVALID_NAME, nullptr},
                                           WayChange{"FolderRemoved", "Dir",
                                                     [](const fs::path &files) { fs::remove_all(files / "Dir"); },
                                                     ERROR_PATH_NOT_FOUND, nullptr},
                                           WayChange{"FolderMovedAndAnotherMade", "Top/Dir",
                                                     [](const fs::path &files) {
                                                         fs::rename(files / "Top", files / "Other");
                                                         fs::create_directories(files / "Top" / "Dir");
                                                     },
                                                     0, "Top/Dir/second.txt"},
                                           WayChange{"FolderMovedAwayAndBack", "Top/Dir",
                                                     [](const fs::path &files) {
                                                         fs::rename(files / "Top", files / "Other");
                                                         fs::rename(files / "Other", files / "Top");
                                                     },
                                                     0, "Top/Dir/second.txt"}),
                         [](const ::testing::TestParamInfo<WayChange> &info) { return std::string(info.param.name); });

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] auto &e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Folders kept open are bounded in number, and let go of on request.
TEST_F(OnBoard, FoldersKeptOpenAreBounded) {
    board::forgetKeptFolderNames();
    put(files() / "src.txt", "x");
    for (int i = 0; i < 100; ++i) fs::create_directories(files() / ("D" + std::to_string(i)));
    // The process's one descriptor for the host's reports comes with the
    // first call that needs it, and stays.
    ASSERT_TRUE(CopyFileW(u"\\src.txt", u"\\warm.txt", FALSE));
    board::forgetKeptFolderNames();
    const size_t before = openDescriptors();
    size_t most = before;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(CopyFileW(u"\\src.txt", W("\\D" + std::to_string(i) + "\\f.txt").c_str(), FALSE)) << i;
        most = std::max(most, openDescriptors());
    }
    EXPECT_LE(most, before + 64);
    EXPECT_GT(most, before);  // some are kept: the next copy into one opens nothing
    board::forgetKeptFolderNames();
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
