// The values the platform answers with beyond 0 and 1: the key state's
// pressed-since bit, and a read of a message queue whose success is another
// non-zero value than 1 when the board says so.
#include <msgqueue.h>

#include "board/volumes.h"
#include "board_fixture.h"

namespace {

using Answers = OnBoard;

TEST_F(Answers, TheKeyStateTellsHeldNowAndPressedSinceTheLastQuery) {
    struct Step {
        const char *keys;  // what happens to Shift first: 'd' down, 'u' up
        unsigned state;    // then the answer
    };
    const std::vector<Step> steps = {
        {"", 0x0000}, {"d", 0x8001},   {"", 0x8000},   {"u", 0x0000}, {"du", 0x0001},
        {"", 0x0000}, {"dud", 0x8001}, {"ud", 0x8001}, {"u", 0x0000}, {"", 0x0000},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        for (const char *k = steps[i].keys; *k != 0; ++k) board::setKeyHeld(board(), "shift", *k == 'd');
        EXPECT_EQ(static_cast<unsigned short>(GetAsyncKeyState(VK_SHIFT)), steps[i].state) << "step " << i;
    }
    // Other keys keep their own count; the other query knows only "held".
    EXPECT_EQ(GetAsyncKeyState(VK_CONTROL), 0);
    board::setKeyHeld(board(), "shift", true);
    EXPECT_EQ(static_cast<unsigned short>(GetKeyState(VK_SHIFT)), 0x8000);
    EXPECT_EQ(board::keyPresses(board(), "shift"), 6u);
    EXPECT_EQ(board::keyPresses(board(), "ctrl"), 0u);
}

TEST_F(Answers, AKeyHeldBeforeTheFirstQueryCountsAsPressedSince) {
    board::setKeyHeld(board(), "alt", true);
    EXPECT_EQ(static_cast<unsigned short>(GetAsyncKeyState(VK_MENU)), 0x8001);
    EXPECT_EQ(static_cast<unsigned short>(GetAsyncKeyState(VK_MENU)), 0x8000);
}

TEST_F(Answers, AReadReturnsWhatTheBoardSetsForSuccess) {
    MSGQUEUEOPTIONS o = {sizeof(MSGQUEUEOPTIONS), 0, 0, 16, TRUE};
    for (const auto &[setting, want] :
         std::vector<std::pair<nlohmann::json, BOOL>>{{nlohmann::json(), TRUE}, {2, 2}, {-7, -7}}) {
        SCOPED_TRACE(setting.dump());
        wince::shutdown();
        nlohmann::json settings = nlohmann::json::object();
        if (!setting.is_null()) settings["platform"]["read_msg_queue_result"] = setting;
        board::Board::open(board_.dir())->saveSettings(settings);
        wince::boot(board_.dir(), nullptr, "test");
        HANDLE r = CreateMsgQueue(u"q", &o);
        o.bReadAccess = FALSE;
        HANDLE w = CreateMsgQueue(u"q", &o);
        o.bReadAccess = TRUE;
        char m[4] = "abc", got[16] = {};
        DWORD n = 0, flags = 1;
        ASSERT_TRUE(WriteMsgQueue(w, m, 4, 0, 0));
        EXPECT_EQ(ReadMsgQueue(r, got, sizeof got, &n, 0, &flags), want);
        EXPECT_EQ(n, 4u);
        EXPECT_STREQ(got, "abc");
        // A failed read stays FALSE whatever the setting.
        EXPECT_EQ(ReadMsgQueue(r, got, sizeof got, &n, 0, &flags), FALSE);
        CloseMsgQueue(r);
        CloseMsgQueue(w);
    }
}

}  // namespace
