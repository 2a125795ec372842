// "/u" with a name the file-open dialog refuses: the dialog comes again
// with an empty name, so a bad argument never turns into a silent reboot.
#include <gtest/gtest.h>

#include <windows.h>

#include "image.h"
#include "update_driver.h"

namespace {

using namespace vtest;
using nlohmann::json;

TEST(UpdateArgument, ANameTheDialogRefusesIsAskedForAgainWithAnEmptyName) {
    struct Case {
        const char16_t *commandLine;
        std::vector<std::u16string> shown;  // the name box each time the dialog showed
    };
    const std::vector<Case> cases = {
        {u"/u \\nk.bin", {u"\\nk.bin"}}, {u"/u *.bin", {u""}}, {u"/u \"\\nk.bin\"", {u""}},
        {u"/u \\nk?.bin", {u""}},        {u"/u", {u""}},
    };
    for (bool pick : {true, false}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(wince::toUtf8(c.commandLine) + (pick ? ", picked" : ", cancelled"));
            TempBoard board(json{{"hal", {{"reboot", "return"}}}});
            writeFile(
                board.files() / "nk.bin",
                binimage::build({{"start", 0x80080000u}, {"records", {{{"address", 0x80080000u}, {"size", 64}}}}}));
            auto op = std::make_shared<RecordingOperator>();
            if (pick) op->choice = u"\\nk.bin";
            runUpdateTool(board, op, c.commandLine);
            std::vector<std::u16string> shown;
            for (const auto &f : op->fileOpens()) shown.push_back(f.initialFile);
            EXPECT_EQ(shown, c.shown);
            EXPECT_EQ(board.events("fileopen_failed").size(), c.shown[0].empty() && c.commandLine[2] != 0 ? 1u : 0u);
            // Picked: the update ran; cancelled: nothing happened. Then the reboot.
            EXPECT_EQ(!op->views().empty(), pick);
            EXPECT_TRUE(op->boxes().empty());
            EXPECT_EQ(board.events("reboot").size(), 1u);
        }
    }
}

}  // namespace
