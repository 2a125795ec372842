// A shortcut is read while others may read it too: one that someone else
// has open for reading still starts its program.
#include "agent_fixture.h"

namespace {

using ShortcutSharing = AgentOnBoard;

TEST_F(ShortcutSharing, AShortcutOpenForReadingElsewhereStillStarts) {
    put(card_ / "AutoRun" / "go.lnk", "19#\\Windows\\pword.exe");
    put(card_ / "AutoRun" / "locked.lnk", "1#\\Windows\\locked.exe");
    const std::u16string card = u"\\Storage Card\\AutoRun\\";
    // A reader that shares reading, and one that shares nothing.
    HANDLE reader =
        CreateFileW((card + u"go.lnk").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE owner = CreateFileW((card + u"locked.lnk").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(owner, INVALID_HANDLE_VALUE);
    RunAutoRun(u"\\Storage Card", AUTORUN_SHORTCUTS);
    CloseHandle(reader);
    CloseHandle(owner);
    const std::vector<Start> want = {{"\\Windows\\pword.exe", "<none>", false}};
    EXPECT_EQ(starts(), want);
}

}  // namespace
