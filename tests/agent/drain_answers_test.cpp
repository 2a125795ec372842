// How the drain reads the platform's answers: a message is taken only on a
// read result of exactly 1, and Shift counts as held when any of the low 16
// bits of the key state is set (the held bit, the pressed-since bit, both).
#include "drain_fixture.h"

namespace {

using Answers = DrainOnBoard;

TEST_F(Answers, AReadResultOtherThanOneEndsTheDrainAndTheMessageIsGone) {
    card("A");
    for (int result : {2, -1, 0x100}) {
        SCOPED_TRACE(result);
        rebootWith({{"platform", {{"read_msg_queue_result", result}}}});
        notify(u"\\A");
        DrainMountQueue(reader_);
        EXPECT_TRUE(programs().empty());
        EXPECT_TRUE(queueEmpty()) << "the read took the message";
    }
    rebootWith(nlohmann::json::object());
    notify(u"\\A");
    DrainMountQueue(reader_);
    EXPECT_EQ(programs(), std::vector<std::string>{"\\A\\AutoRun\\A.exe"});
}

// What happens to Shift before each of two drains, and which of the cards
// A and B (queued in that order) were handled.
struct ShiftCase {
    const char *name;
    std::vector<const char *> before1, before2;  // "down", "up"
    std::vector<std::string> handled;
};

TEST_F(Answers, ShiftHeldPressedSinceTheLastQueryOrBothDropTheCard) {
    const std::vector<ShiftCase> cases = {
        {"untouched", {}, {}, {"\\A\\AutoRun\\A.exe", "\\B\\AutoRun\\B.exe"}},
        // 0x8001, then 0x8000: both dropped.
        {"held through both", {"down"}, {}, {}},
        // 0x0001 alone: A dropped; B then finds 0.
        {"tapped before the first", {"down", "up"}, {}, {"\\B\\AutoRun\\B.exe"}},
        // 0x8001, then 0x0001 alone after a release and a tap.
        {"held, then tapped", {"down"}, {"up", "down", "up"}, {}},
        // 0x8001, then 0 once released.
        {"held, then released", {"down"}, {"up"}, {"\\B\\AutoRun\\B.exe"}},
    };
    card("A");
    card("B");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        rebootWith(nlohmann::json::object());
        board::setKeyHeld(wince::currentBoard(), "shift", false);
        const size_t startsBefore = programs().size();
        EXPECT_EQ(GetAsyncKeyState(VK_SHIFT) & 0xFFFF, 0) << "the process's first look";
        notify(u"\\A");
        notify(u"\\B");
        for (const auto *step : c.before1)
            board::setKeyHeld(wince::currentBoard(), "shift", std::string(step) == "down");
        DrainMountQueue(reader_);
        for (const auto *step : c.before2)
            board::setKeyHeld(wince::currentBoard(), "shift", std::string(step) == "down");
        DrainMountQueue(reader_);
        const auto all = programs();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(startsBefore), all.end()), c.handled);
        EXPECT_TRUE(queueEmpty());
    }
}

}  // namespace
