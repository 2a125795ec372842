// The order of AutoCopy's walk, where it shows on the device: names that
// differ only in case land on one file, and the last copy wins. The board
// enumerates a folder in byte order of the names ("DIR" < "Dir" < "dir").
#include <limits>

#include "agent_fixture.h"

namespace fs = std::filesystem;

namespace {

const WCHAR kCard[] = u"\\Storage Card";

struct OrderCase {
    const char *what;
    std::vector<std::pair<std::string, std::string>> files;  // under AutoCopy: path, contents
    std::vector<std::string> boardFolders;
    std::string destination;  // under the board's files
    std::string expected;     // the last copy in the order of a recursive walk
};

// The case's own words, not its bytes, in test names and failures.
void PrintTo(const OrderCase &c, std::ostream *out) { *out << c.what; }

class CopyOrder : public AgentOnBoard, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(CopyOrder, TheLastCopyOfARecursiveWalkWins) {
    const OrderCase &c = GetParam();
    for (const auto &folder : c.boardFolders) fs::create_directories(files() / folder);
    for (const auto &[path, bytes] : c.files) put(card_ / "AutoCopy" / path, bytes);

    AutoCopyVolume(kCard);

    EXPECT_EQ(vtest::readFile(files() / c.destination), c.expected);
    EXPECT_EQ(wince::localHeapHeld(), 0u) << "the walk gave back what it took";
}

INSTANTIATE_TEST_SUITE_P(
    Walk, CopyOrder,
    ::testing::Values(
        // A queue of folders taken last-in first-out would copy "windows" first.
        OrderCase{
            "two spellings", {{"Windows/Dup.txt", "A"}, {"windows/dup.txt", "B"}}, {"Windows"}, "Windows/Dup.txt", "B"},
        OrderCase{
            "three spellings", {{"DIR/f.txt", "1"}, {"Dir/f.txt", "2"}, {"dir/F.TXT", "3"}}, {"Dir"}, "Dir/f.txt", "3"},
        // The whole of "A" (both of its subfolders) before anything of "a".
        OrderCase{"a subfolder walked when met",
                  {{"A/x/f.txt", "1"}, {"a/X/f.txt", "2"}, {"a/x/f.txt", "3"}, {"A/y/g.txt", "4"}},
                  {"A/x", "A/y"},
                  "A/x/f.txt",
                  "3"},
        // Files of a folder met after its subfolder are copied after it.
        OrderCase{"files and folders as they come",
                  {{"S/s/t.txt", "deep"}, {"s/S/T.txt", "deeper"}, {"S/z.txt", "one"}, {"s/Z.txt", "two"}},
                  {"S/s"},
                  "S/s/t.txt",
                  "deeper"}),
    [](const ::testing::TestParamInfo<OrderCase> &info) {
        std::string name = info.param.what;
        for (auto &ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

using CopyWithoutMemory = AgentOnBoard;

TEST_F(CopyWithoutMemory, AFolderThatCannotBeOpenedIsSkippedAndTheWalkGoesOn) {
    // Room for two open folders (each a path buffer of 520 bytes and a
    // little more) but not three: the walk reaches depth 1, skips depth 2,
    // and goes on with the rest.
    for (const char *folder : {"d1", "d1/d2", "e1"}) fs::create_directories(files() / folder);
    put(card_ / "AutoCopy" / "a.txt", "a");
    put(card_ / "AutoCopy" / "d1" / "b.txt", "b");
    put(card_ / "AutoCopy" / "d1" / "d2" / "c.txt", "c");
    put(card_ / "AutoCopy" / "d1" / "e.txt", "e");
    put(card_ / "AutoCopy" / "e1" / "f.txt", "f");
    put(card_ / "AutoCopy" / "z.txt", "z");

    wince::setLocalHeapLimit(1200);
    AutoCopyVolume(kCard);
    wince::setLocalHeapLimit(std::numeric_limits<size_t>::max());

    for (const char *f : {"a.txt", "d1/b.txt", "d1/e.txt", "e1/f.txt", "z.txt"})
        EXPECT_TRUE(fs::exists(files() / f)) << f;
    EXPECT_FALSE(fs::exists(files() / "d1" / "d2" / "c.txt"));
    EXPECT_EQ(wince::localHeapHeld(), 0u);

    // No room at all: nothing is copied, and nothing breaks.
    fs::remove(files() / "a.txt");
    wince::setLocalHeapLimit(0);
    AutoCopyVolume(kCard);
    wince::setLocalHeapLimit(std::numeric_limits<size_t>::max());
    EXPECT_FALSE(fs::exists(files() / "a.txt"));
}

}  // namespace
