// CopyFileW takes a quick way when every name of both paths is spelled as
// the host holds it and no link lies on the way, and the full look-up for
// everything else. Whichever way a copy goes, the board must end the same:
// these cases are where a quick way that took too much on itself would
// write a second file beside one in another case, follow a folder link,
// open a FIFO, or land in the folder a volume hides.
#include <sys/stat.h>

#include <map>

#include "board/filesystem.h"
#include "board/volumes.h"
#include "board_fixture.h"

namespace fs = std::filesystem;

namespace {

struct CopyCase {
    const char *name;
    const char *from;
    const char *to;
    bool copied;
    DWORD error;  // when not copied
    // The host tree afterwards, below the board's folder: file -> contents,
    // "<dir>", "<fifo>" or "-> target" for a link.
    std::map<std::string, std::string> after;
};

void PrintTo(const CopyCase &c, std::ostream *os) { *os << c.name; }

class CopySpelling : public OnBoard, public ::testing::WithParamInterface<CopyCase> {
  protected:
    void SetUp() override {
        OnBoard::SetUp();
        card_ = board_.dir() / "card";
        put(card_ / "Dir" / "a.txt", "card a");
        put(card_ / "IN.TXT", "card in");
        ASSERT_EQ(::mkfifo((card_ / "in.txt").c_str(), 0644), 0);
        fs::create_symlink("Dir", card_ / "ldir");
        put(files() / "Sub" / "Doc.TXT", "old doc");
        put(files() / "OUT.TXT", "old out");
        ASSERT_EQ(::mkfifo((files() / "out.txt").c_str(), 0644), 0);
        put(files() / "target.txt", "old target");
        fs::create_symlink("target.txt", files() / "tolink");
        fs::create_symlink("Sub", files() / "lsub");
        board::mountVolume(board(), "v", card_);
        put(files() / "v" / "hidden.txt", "under the volume");  // made by the host after the mount
    }

    // Everything under the board's files folder (but its own \\Windows) and
    // the card, as the host holds it.
    std::map<std::string, std::string> tree() const {
        std::map<std::string, std::string> out;
        for (const auto &[label, root] : {std::pair{"files", files()}, std::pair{"card", card_}}) {
            for (auto &e : fs::recursive_directory_iterator(root)) {
                const std::string key = std::string(label) + "/" + e.path().lexically_relative(root).generic_string();
                if (key.starts_with("files/Windows")) continue;  // the board's own, made with it
                const auto status = e.symlink_status();
                if (fs::is_symlink(status)) out[key] = "-> " + fs::read_symlink(e.path()).string();
                else if (fs::is_directory(status)) out[key] = "<dir>";
                else if (status.type() == fs::file_type::fifo) out[key] = "<fifo>";
                else out[key] = vtest::readFile(e.path());
            }
        }
        return out;
    }

    fs::path card_;
};

// The tree as set up, with `changes` made to it.
std::map<std::string, std::string> setUpTree(std::map<std::string, std::string> changes = {}) {
    std::map<std::string, std::string> out = {
        {"card/Dir", "<dir>"},
        {"card/Dir/a.txt", "card a"},
        {"card/IN.TXT", "card in"},
        {"card/in.txt", "<fifo>"},
        {"card/ldir", "-> Dir"},
        {"files/Sub", "<dir>"},
        {"files/Sub/Doc.TXT", "old doc"},
        {"files/OUT.TXT", "old out"},
        {"files/out.txt", "<fifo>"},
        {"files/target.txt", "old target"},
        {"files/tolink", "-> target.txt"},
        {"files/lsub", "-> Sub"},
        {"files/v", "<dir>"},
        {"files/v/hidden.txt", "under the volume"},
    };
    for (auto &[k, v] : changes) out[k] = v;
    return out;
}

TEST_P(CopySpelling, EndsAsTheFullLookUpWould) {
    const CopyCase &c = GetParam();
    SetLastError(0);
    const BOOL ok = CopyFileW(W(c.from).c_str(), W(c.to).c_str(), FALSE);
    EXPECT_EQ(ok != FALSE, c.copied);
    if (!c.copied) {
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(tree(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CopySpelling,
    ::testing::Values(
        CopyCase{"AnotherCaseIsReplaced", "\\v\\Dir\\a.txt", "\\Sub\\doc.txt", true, 0,
                 setUpTree({{"files/Sub/Doc.TXT", "card a"}})},
        CopyCase{"AnotherCaseIsReplacedInAFolderOfAnotherCase", "\\v\\Dir\\a.txt", "\\sub\\DOC.txt", true, 0,
                 setUpTree({{"files/Sub/Doc.TXT", "card a"}})},
        CopyCase{"SourceFoldersInAnotherCase", "\\V\\dir\\A.TXT", "\\Sub\\new.txt", true, 0,
                 setUpTree({{"files/Sub/new.txt", "card a"}})},
        CopyCase{"AFifoAsSpelledIsPassedOverForTheFile", "\\v\\in.txt", "\\out.txt", true, 0,
                 setUpTree({{"files/OUT.TXT", "card in"}})},
        CopyCase{"ALinkToAFileIsReplacedWhereItLeads", "\\v\\IN.TXT", "\\tolink", true, 0,
                 setUpTree({{"files/target.txt", "card in"}})},
        CopyCase{"IntoTheVolumeNotTheFolderItHides", "\\v\\IN.TXT", "\\v\\hidden.txt", true, 0,
                 setUpTree({{"card/hidden.txt", "card in"}})},
        CopyCase{"NoWayThroughAFolderLinkOfTheSource", "\\v\\ldir\\a.txt", "\\new.txt", false, ERROR_INVALID_NAME,
                 setUpTree()},
        CopyCase{"NoWayThroughAFolderLinkOfTheDestination", "\\v\\IN.TXT", "\\lsub\\new.txt", false, ERROR_INVALID_NAME,
                 setUpTree()},
        CopyCase{"NoFolderIsMade", "\\v\\IN.TXT", "\\Nowhere\\new.txt", false, ERROR_PATH_NOT_FOUND, setUpTree()},
        CopyCase{"NotOntoAFolder", "\\v\\IN.TXT", "\\SUB", false, ERROR_ACCESS_DENIED, setUpTree()},
        CopyCase{"NotOntoItself", "\\sub\\Doc.TXT", "\\SUB\\DOC.TXT", false, ERROR_SHARING_VIOLATION, setUpTree()},
        CopyCase{"NotOntoItselfThroughALink", "\\target.txt", "\\tolink", false, ERROR_SHARING_VIOLATION, setUpTree()},
        CopyCase{"AMissingSource", "\\v\\missing.txt", "\\new.txt", false, ERROR_FILE_NOT_FOUND, setUpTree()}),
    [](const ::testing::TestParamInfo<CopyCase> &info) { return std::string(info.param.name); });

}  // namespace
