// The file-open dialog and an initial name it cannot show: the call fails
// at once, without a dialog, and CommDlgExtendedError says why.
#include <windows.h>
#include <commdlg.h>
#include <cderr.h>

#include <gtest/gtest.h>

#include "platform_fixture.h"

namespace {

class FileOpenName : public ptest::BootedBoard {
  protected:
    void SetUp() override {
        op_ = std::make_shared<ptest::TestOperator>();
        boot(op_);
        vtest::writeFile(board_->files() / "nk.bin", "B000FF\n");
        op_->fileOpen = [](const wince::FileOpenView &) { return std::u16string(u"\\nk.bin"); };
    }
    // Asks with `initial` in the name box; returns the call's result.
    BOOL ask(const std::u16string &initial, DWORD maxFile = 260) {
        std::fill(std::begin(file_), std::end(file_), 0);
        std::copy(initial.begin(), initial.end(), file_);
        OPENFILENAMEW ofn = {};
        ofn.lStructSize = sizeof(ofn);
        ofn.lpstrFilter = u"IMAGE files\0*.bin\0";
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = file_;
        ofn.nMaxFile = maxFile;
        ofn.lpstrInitialDir = u"\\";
        ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
        return GetOpenFileNameW(&ofn);
    }
    std::shared_ptr<ptest::TestOperator> op_;
    WCHAR file_[300];
};

TEST_F(FileOpenName, AnInitialNameNoFileCanHaveFailsTheCallWithoutADialog) {
    struct Case {
        const char16_t *initial;
        bool shown;
    } cases[] = {
        {u"", true},
        {u"\\nk.bin", true},
        {u"date", true},
        {u"\\images\\nk 2.bin", true},
        {u"/images/nk.bin", true},
        {u"\"\\nk.bin\"", false},
        {u"*.bin", false},
        {u"nk?.bin", false},
        {u"c:\\nk.bin", false},
        {u"<nk>.bin", false},
        {u"a|b", false},
        {u"nk\t.bin", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(wince::toUtf8(c.initial));
        const size_t asked = op_->requests.size();
        const size_t failed = events("fileopen_failed").size();
        const BOOL result = ask(c.initial);
        EXPECT_EQ(result != FALSE, c.shown);
        EXPECT_EQ(op_->requests.size() - asked, c.shown ? 1u : 0u);
        EXPECT_EQ(CommDlgExtendedError(), c.shown ? 0u : static_cast<DWORD>(FNERR_INVALIDFILENAME));
        EXPECT_EQ(events("fileopen_failed").size() - failed, c.shown ? 0u : 1u);
        if (!c.shown) {
            EXPECT_EQ(std::u16string(file_), c.initial) << "the buffer is left alone";
        }
    }
}

TEST_F(FileOpenName, TheExtendedErrorTellsEveryFailureFromACancel) {
    op_->fileOpen = [](const wince::FileOpenView &) { return std::nullopt; };
    EXPECT_FALSE(ask(u"*"));
    EXPECT_FALSE(ask(u"\\nk.bin"));
    EXPECT_EQ(CommDlgExtendedError(), 0u) << "a cancel is no error";

    op_->fileOpen = [](const wince::FileOpenView &) { return std::u16string(u"\\nk.bin"); };
    EXPECT_FALSE(ask(u"", 5));
    EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(FNERR_BUFFERTOOSMALL));
    OPENFILENAMEW wrongSize = {};
    wrongSize.lStructSize = 76;
    EXPECT_FALSE(GetOpenFileNameW(&wrongSize));
    EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(CDERR_STRUCTSIZE));
    EXPECT_TRUE(ask(u""));
    EXPECT_EQ(CommDlgExtendedError(), 0u);
}

}  // namespace
