// A copy into a folder keeps what names the folder holds, so that the next
// copy need not read the whole folder again to find a name in another case.
// Whatever happens to the folder behind the program's back, the next copy
// must still replace a file whose name differs only in case, never add a
// second one beside it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "board/filesystem.h"
#include "board_fixture.h"

namespace fs = std::filesystem;

namespace {

struct HostChange {
    const char *name;
    // Done on the host between the first copy and the second, with the
    // board's folder "Dir" and a folder outside the board.
    std::function<void(const fs::path &dir, const fs::path &outside)> change;
    const char *target;  // the second copy's destination, in \Dir
    bool copied;
    std::set<std::string> after;  // the names "Dir" holds at the end
};

void PrintTo(const HostChange &c, std::ostream *os) { *os << c.name; }

class KeptFolder : public OnBoard {
  protected:
    void SetUp() override {
        OnBoard::SetUp();
        put(files() / "src.txt", "new");
        fs::create_directories(files() / "Dir");
        outside_ = board_.dir() / "outside";
        fs::create_directories(outside_);
    }

    std::set<std::string> names() const {
        std::set<std::string> out;
        for (auto &e : fs::directory_iterator(files() / "Dir")) out.insert(e.path().filename().string());
        return out;
    }

    fs::path outside_;
};

class KeptFolderNames : public KeptFolder, public ::testing::WithParamInterface<HostChange> {};

TEST_P(KeptFolderNames, TheNextCopyStillFindsEveryName) {
    const HostChange &c = GetParam();
    ASSERT_TRUE(CopyFileW(u"\\src.txt", u"\\Dir\\first.txt", FALSE));  // the folder is read and kept
    c.change(files() / "Dir", outside_);
    EXPECT_EQ(CopyFileW(u"\\src.txt", W(std::string("\\Dir\\") + c.target).c_str(), FALSE) != FALSE, c.copied);
    EXPECT_EQ(names(), c.after);
    for (const auto &name : c.after) {
        if (name != "first.txt" && fs::is_regular_file(files() / "Dir" / name)) {
            EXPECT_EQ(vtest::readFile(files() / "Dir" / name), "new") << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeptFolderNames,
    ::testing::Values(HostChange{"AFileMadeBeside",
                                 [](const fs::path &dir, const fs::path &) { vtest::writeFile(dir / "B.TXT", "old"); },
                                 "b.txt",
                                 true,
                                 {"first.txt", "B.TXT"}},
                      HostChange{"AFileMovedIn",
                                 [](const fs::path &dir, const fs::path &outside) {
                                     vtest::writeFile(outside / "C.TXT", "old");
                                     fs::rename(outside / "C.TXT", dir / "C.TXT");
                                 },
                                 "c.txt",
                                 true,
                                 {"first.txt", "C.TXT"}},
                      HostChange{"AFileRenamedInPlace",
                                 [](const fs::path &dir, const fs::path &) {
                                     fs::rename(dir / "first.txt", dir / "FIRST.TXT");
                                 },
                                 "first.txt",
                                 true,
                                 {"FIRST.TXT"}},
                      HostChange{"AFolderMadeBeside",
                                 [](const fs::path &dir, const fs::path &) { fs::create_directory(dir / "Other"); },
                                 "other",
                                 false,
                                 {"first.txt", "Other"}},
                      HostChange{"AFileRemoved",
                                 [](const fs::path &dir, const fs::path &) {
                                     vtest::writeFile(dir / "GONE.TXT", "old");
                                     fs::remove(dir / "GONE.TXT");
                                 },
                                 "gone.txt",
                                 true,
                                 {"first.txt", "gone.txt"}},
                      HostChange{"TheFolderMadeAnew",
                                 [](const fs::path &dir, const fs::path &outside) {
                                     fs::rename(dir, outside / "old-dir");
                                     fs::create_directory(dir);
                                     vtest::writeFile(dir / "D.TXT", "old");
                                 },
                                 "d.txt",
                                 true,
                                 {"D.TXT"}},
                      HostChange{"TheFolderMovedAwayAndBack",
                                 [](const fs::path &dir, const fs::path &outside) {
                                     fs::rename(dir, outside / "moved");
                                     vtest::writeFile(outside / "moved" / "E.TXT", "old");
                                     fs::rename(outside / "moved", dir);
                                 },
                                 "e.txt",
                                 true,
                                 {"first.txt", "E.TXT"}},
                      // More changes than the host queues for a reader: the reports are
                      // lost, and the folder must be read again.
                      HostChange{"MoreChangesThanTheHostReports",
                                 [](const fs::path &dir, const fs::path &) {
                                     for (int i = 0; i < 9000; ++i) {
                                         const fs::path f = dir / ("t" + std::to_string(i));
                                         vtest::writeFile(f, "");
                                         fs::remove(f);
                                     }
                                     vtest::writeFile(dir / "F.TXT", "old");
                                 },
                                 "f.txt",
                                 true,
                                 {"first.txt", "F.TXT"}}),
    [](const ::testing::TestParamInfo<HostChange> &info) { return std::string(info.param.name); });

// A child made by fork reads its own reports: the parent's stay with it.
TEST_F(KeptFolder, AForkedChildLeavesTheParentsReports) {
    ASSERT_TRUE(CopyFileW(u"\\src.txt", u"\\Dir\\first.txt", FALSE));
    const pid_t child = ::fork();
    if (child == 0) {
        // The child copies into the folder too, then looks for changes.
        const bool ok =
            CopyFileW(u"\\src.txt", u"\\Dir\\child.txt", FALSE) && CopyFileW(u"\\src.txt", u"\\Dir\\child2.txt", FALSE);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(CopyFileW(u"\\src.txt", u"\\Dir\\CHILD.TXT", FALSE));
    EXPECT_EQ(names(), (std::set<std::string>{"first.txt", "child.txt", "child2.txt"}));
}

// Another program of the board makes a name in the folder while a copy is
// on its way there under the same name in another case: the copy waits for
// it, sees the name it made, and replaces that file instead of adding a
// second name beside it.
TEST_F(KeptFolder, ANameMadeByAnotherProgramMeanwhileIsReplacedNotDoubled) {
    ASSERT_TRUE(CopyFileW(u"\\src.txt", u"\\Dir\\first.txt", FALSE));  // the folder's names are kept
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    // (Started first: a child would hold the other's lock open with it.)
    const pid_t child = ::fork();
    if (child == 0) {
        char c = 0;
        if (::read(go[0], &c, 1) != 1) ::_exit(2);
        ::_exit(CopyFileW(u"\\src.txt", u"\\Dir\\RACE.BIN", FALSE) ? 0 : 1);
    }
    const int dir = ::open((files() / "Dir").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    {
        board::NameMaking other(dir);
        EXPECT_EQ(::write(go[1], "x", 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        vtest::writeFile(files() / "Dir" / "race.bin", "made meanwhile");
    }
    ::close(dir);
    ::close(go[0]);
    ::close(go[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(names(), (std::set<std::string>{"first.txt", "race.bin"}));
    EXPECT_EQ(vtest::readFile(files() / "Dir" / "race.bin"), "new");
}

}  // namespace
