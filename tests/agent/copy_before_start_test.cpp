// A card's copies are all in place before any of its programs starts, so a
// card can deliver a program and start it in one go.
#include "drain_fixture.h"

namespace {

using CopyBeforeStart = DrainOnBoard;

TEST_F(CopyBeforeStart, AProgramTheCardCopiesIsThereWhenItsShortcutAndAProgramStart) {
    std::filesystem::create_directories(files() / "Tools");
    const auto dir = card("C");
    put(dir / "AutoCopy" / "Tools" / "tool.exe", "MZ tool");
    put(dir / "AutoCopy" / "Tools" / "helper.exe", "MZ helper");
    put(dir / "AutoRun" / "go.lnk", "18#\\Tools\\tool.exe -now");
    notify(u"\\C");
    DrainMountQueue(reader_);
    const std::vector<Start> want = {{"\\C\\AutoRun\\C.exe", "<none>", true}, {"\\Tools\\tool.exe", "-now", true}};
    EXPECT_EQ(starts(), want);
    EXPECT_EQ(vtest::readFile(files() / "Tools" / "helper.exe"), "MZ helper");
}

}  // namespace
