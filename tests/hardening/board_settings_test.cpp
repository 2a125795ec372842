// Board settings of the wrong type, as the settings fuzzer found them: a
// board refuses them when it is opened, with a message naming the setting,
// instead of throwing deep inside a program (a worker thread that threw
// ended the whole program with an abort).
#include <gtest/gtest.h>

#include "board/board.h"
#include "test_support.h"

namespace {

using nlohmann::json;

void editSettings(const vtest::TempBoard &board, const json &patch) {
    json settings = json::parse(vtest::readFile(board.dir() / "board.json"));
    settings.merge_patch(patch);
    vtest::writeFile(board.dir() / "board.json", settings.dump());
}

TEST(BoardSettings, AValueOfTheWrongTypeIsRefusedWhenTheBoardOpens) {
    const struct {
        json patch;
        const char *setting;
    } cases[] = {
        {{{"memory", {{"virtual_copy_fails", "yes"}}}}, "/memory/virtual_copy_fails"},
        {{{"hal", {{"reboot", 1}}}}, "/hal/reboot"},
        {{{"hal", {{"board_info_fails", 0}}}}, "/hal/board_info_fails"},
        {{{"board_id", "1"}}, "/board_id"},
        {{{"board_id", 1e30}}, "/board_id"},
        {{{"bsp_version", {{"major", -3}}}}, "/bsp_version/major"},
        {{{"bsp_version", {{"minor", 4294967296ull}}}}, "/bsp_version/minor"},
        {{{"clock", {{"start_tick", 1.5}}}}, "/clock/start_tick"},
        {{{"registry", {{"save_fails", {true}}}}}, "/registry/save_fails"},
    };
    for (const auto &c : cases) {
        vtest::TempBoard board;
        editSettings(board, c.patch);
        try {
            board::Board::open(board.dir());
            ADD_FAILURE() << c.patch.dump() << " was taken";
        } catch (const board::BoardError &e) {
            EXPECT_NE(std::string(e.what()).find(c.setting), std::string::npos) << e.what();
        } catch (const std::exception &e) {
            ADD_FAILURE() << c.patch.dump() << " gave no clear message: " << e.what();
        }
    }
    // Values of the right type, and sections that are not objects (their
    // keys are simply absent), still open.
    vtest::TempBoard board;
    editSettings(board, {{"board_id", 7}, {"hal", {{"reboot", "return"}}}, {"memory", 5}, {"bsp_version", {1, 2}}});
    auto opened = board::Board::open(board.dir());
    EXPECT_EQ(opened->setting<uint32_t>("/board_id", 1), 7u);
    EXPECT_EQ(opened->setting<uint32_t>("/bsp_version/major", 9), 9u);
}

TEST(BoardSettings, AProgramOnSuchABoardStopsWithOneLine) {
    vtest::TempBoard board;
    editSettings(board, {{"memory", {{"virtual_copy_fails", "yes"}}}});
    vtest::writeFile(board.files() / "nk.bin", "B000FF\n");
    const auto run = vtest::runOnBoard(board, "image-update-tool", "accept\n", {"/u", "\\nk.bin"}, 60);
    EXPECT_EQ(run.exitCode, 71) << run.err;  // a board error
    EXPECT_EQ(run.err.rfind("image-update-tool: ", 0), 0u) << "started by hand, it names itself: " << run.err;
    EXPECT_NE(run.err.find("/memory/virtual_copy_fails"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

}  // namespace
