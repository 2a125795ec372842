// DrainMountQueue on messages written straight into a queue, so that every
// shape of notification can be tried.
#include "drain_fixture.h"

namespace fs = std::filesystem;

namespace {

class Drain : public DrainOnBoard {
  protected:
    // A card with one file to copy and one program to start, both named
    // after the card (and a shortcut to the program's copy in \Windows).
    fs::path card(const std::string &name) {
        const fs::path dir = board_.dir() / ("card-" + name);
        put(dir / "AutoCopy" / "order.txt", name);
        put(dir / "AutoRun" / (name + ".exe"), "MZ");
        put(dir / "AutoRun" / (name + ".lnk"), "1#\\Windows\\" + name + ".exe");
        put(files() / "Windows" / (name + ".exe"), "MZ");
        board::mountVolume(wince::currentBoard(), name, dir);
        return dir;
    }
};

TEST_F(Drain, TwoCardsInOrderEachHandledWhole) {
    card("A");
    card("B");
    notify(u"\\A");
    notify(u"\\B");
    DrainMountQueue(reader_);
    // Executables before shortcuts, the first card before the second.
    const std::vector<std::string> want = {"\\A\\AutoRun\\A.exe", "\\Windows\\A.exe", "\\B\\AutoRun\\B.exe",
                                           "\\Windows\\B.exe"};
    EXPECT_EQ(programs(), want);
    EXPECT_EQ(vtest::readFile(files() / "order.txt"), "B") << "B's copy came after A's";
    EXPECT_TRUE(queueEmpty());
}

TEST_F(Drain, ShiftDropsTheCardForGood) {
    card("A");
    card("B");
    notify(u"\\A");
    notify(u"\\B");
    board::setKeyHeld(wince::currentBoard(), "shift", true);
    DrainMountQueue(reader_);
    EXPECT_TRUE(programs().empty());
    EXPECT_FALSE(fs::exists(files() / "order.txt"));
    EXPECT_FALSE(queueEmpty()) << "B still waits and wakes the loop again";

    board::setKeyHeld(wince::currentBoard(), "shift", false);
    DrainMountQueue(reader_);
    EXPECT_EQ(programs(), (std::vector<std::string>{"\\B\\AutoRun\\B.exe", "\\Windows\\B.exe"}));
    EXPECT_TRUE(queueEmpty());
}

TEST_F(Drain, ARemovalFindsNothingToDo) {
    card("A");
    board::unmountVolume(wince::currentBoard(), "A");
    notify(u"\\A", 0, false);
    DrainMountQueue(reader_);
    EXPECT_TRUE(programs().empty());
    EXPECT_FALSE(fs::exists(files() / "order.txt"));
    EXPECT_TRUE(queueEmpty());
}

TEST_F(Drain, ANameThatDoesNotEndInTheMessageIsNoVolume) {
    // A volume path of 34 characters fills the 68 bytes after offset 28 with
    // no room for a NUL. Cut at the message's end, a longer name would name
    // this card and start its programs again; the name itself cannot be told
    // either. 33 characters and the NUL fit.
    card(std::string(33, 'N'));
    card(std::string(32, 'M'));
    notify(u"\\" + std::u16string(33, u'N') + u"TAIL", 96);
    notify(u"\\" + std::u16string(33, u'N'), 96);
    notify(u"\\" + std::u16string(32, u'M'), 96);  // the NUL in the last two bytes
    DrainMountQueue(reader_);
    const std::string m(32, 'M');
    EXPECT_EQ(programs(),
              (std::vector<std::string>{"\\" + m + "\\AutoRun\\" + m + ".exe", "\\Windows\\" + m + ".exe"}));
    EXPECT_TRUE(queueEmpty());
}

TEST_F(Drain, AShortMessageDoesNotBorrowTheLastOnesBytes) {
    // The read buffer keeps the bytes of a longer earlier message; a later
    // message without its NUL must not pick them up, nor be cut to a name.
    card("SD");
    put(board_.dir() / "card-SDcard2" / "AutoRun" / "wrong.exe", "MZ");
    board::mountVolume(wince::currentBoard(), "SDcard2", board_.dir() / "card-SDcard2");
    notify(u"\\XXcard2");             // no such volume: nothing happens
    notify(u"\\SD", 28 + 3 * 2);      // "\SD" and no NUL; with the old bytes it would read "\SDcard2"
    notify(u"\\SD", 28 + 3 * 2 + 1);  // half a NUL is none either
    DrainMountQueue(reader_);
    EXPECT_TRUE(programs().empty());
    EXPECT_TRUE(queueEmpty());
}

TEST_F(Drain, MessagesWithoutAVolumeAreSkipped) {
    card("A");
    notify(u"", 0);      // an empty name
    notify(u"\\A", 20);  // ends before the name
    notify(u"\\A");
    DrainMountQueue(reader_);
    EXPECT_EQ(programs(), (std::vector<std::string>{"\\A\\AutoRun\\A.exe", "\\Windows\\A.exe"}));
}

TEST_F(Drain, AMessageTooLongToReadEndsTheDrainButIsGone) {
    card("A");
    notify(u"\\" + std::u16string(48, u'x'));  // 128 bytes: more than the 96 read
    notify(u"\\A");
    DrainMountQueue(reader_);
    EXPECT_TRUE(programs().empty()) << "a failed read ends the drain";
    DrainMountQueue(reader_);
    EXPECT_EQ(programs(), (std::vector<std::string>{"\\A\\AutoRun\\A.exe", "\\Windows\\A.exe"}));
    EXPECT_TRUE(queueEmpty());
}

}  // namespace
