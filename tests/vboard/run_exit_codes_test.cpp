// `vboard run` tells apart how a run ended: the program's own exit code, a
// run the platform stopped (70), a board that could not be used (71).
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(VboardRunExitCodes, EachWayARunEndsHasItsOwnCode) {
    const struct {
        const char *name;
        nlohmann::json boardPatch;  // written into board.json by hand
        const char *script;
        std::vector<std::string> programArgs;
        int exitCode;
        const char *says;
    } cases[] = {
        {"the tool's own end", {}, "wait dialog \"Update Tool v1.4\"\nclose\n", {}, 1, ""},
        {"the script goes off its course", {}, "press 1002\n", {"/f"}, 70, "script line 1"},
        {"settings the board cannot use", {{"board_id", "seven"}}, "close\n", {}, 71, "/board_id"},
        {"a flash the board cannot use",
         {{"flash", {{"faults", {{"locked", {300}}}}}}},
         "accept\n",
         {"/u", "\\nk.bin"},
         71,
         "block 300 is beyond the flash"},
    };
    for (const auto &c : cases) {
        vtest::TempBoard board;
        vtest::writeFile(board.files() / "nk.bin", "B000FF\n");
        if (!c.boardPatch.empty()) {
            auto settings = nlohmann::json::parse(vtest::readFile(board.dir() / "board.json"));
            settings.merge_patch(c.boardPatch);
            vtest::writeFile(board.dir() / "board.json", settings.dump());
        }
        const auto script = board.writeScratch("s.txt", c.script);
        std::vector<std::string> args = {"run", board.dir().string(), "--script", script.string(), "image-update-tool"};
        args.insert(args.end(), c.programArgs.begin(), c.programArgs.end());
        const auto r = vtest::run("vboard", args, {}, 60);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
    }
    // No board at all.
    const auto none = vtest::run("vboard", {"run", "/nonexistent/board", "image-update-tool"});
    EXPECT_EQ(none.exitCode, 71) << none.err;
    EXPECT_NE(none.err.find("no virtual board at /nonexistent/board"), std::string::npos) << none.err;
}

}  // namespace
