// Message boxes and the file-open dialog: what they log, what the operator
// is shown and what the caller gets back.
#include <windows.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform_fixture.h"
#include "resource.h"

namespace {

using ptest::TestOperator;

std::function<BOOL(HWND, UINT, WPARAM, LPARAM)> g_handler;
BOOL CALLBACK TestDlgProc(HWND h, UINT m, WPARAM w, LPARAM l) { return g_handler ? g_handler(h, m, w, l) : FALSE; }

class Boxes : public ptest::BootedBoard {
  protected:
    void SetUp() override {
        op_ = std::make_shared<TestOperator>();
        boot(op_);
        std::filesystem::create_directories(board_->files() / "images");
        vtest::writeFile(board_->files() / "image.bin", "B000FF\n");
        vtest::writeFile(board_->files() / "images" / "nk.bin", "B000FF\n");
        vtest::writeFile(board_->files() / "images" / "noext", "x");
        vtest::writeFile(board_->files() / "images" / "trail.", "x");
    }
    void TearDown() override {
        g_handler = nullptr;
        BootedBoard::TearDown();
    }
    // Runs `body` inside WM_INITDIALOG of the update dialog, as the program does.
    void insideUpdateDialog(const std::function<void(HWND)> &body) {
        g_handler = [&](HWND dlg, UINT msg, WPARAM, LPARAM) -> BOOL {
            if (msg != WM_INITDIALOG) return FALSE;
            body(dlg);
            EndDialog(dlg, 0);
            return TRUE;
        };
        DialogBoxIndirectParamW(ptest::programInstance(), ptest::programDialog(IDD_UPDATE), nullptr, TestDlgProc, 0);
    }
    std::shared_ptr<TestOperator> op_;
};

using Request = ptest::FileOpenRequest;

TEST_F(Boxes, MessageBoxLogsAndShowsTextCaptionOwnerAndType) {
    EXPECT_EQ(MessageBoxW(nullptr, u"Registry Succesfully Saved", u"Registry", MB_OK), IDOK);
    insideUpdateDialog([](HWND dlg) {
        // A control as owner stands for its dialog.
        EXPECT_EQ(MessageBoxW(GetDlgItem(dlg, IDC_STEP_TEXT), u"Cannot Open Image File", u"ERROR", MB_ICONERROR), IDOK);
    });
    EXPECT_EQ(MessageBoxW(nullptr, nullptr, nullptr, MB_OK), IDOK);

    auto logged = events("messagebox");
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0]["text"], "Registry Succesfully Saved");
    EXPECT_EQ(logged[0]["caption"], "Registry");
    EXPECT_TRUE(logged[0]["owner"].is_null());
    EXPECT_EQ(logged[0]["type"], 0);
    EXPECT_EQ(logged[1]["owner"], "Updating IMAGE");
    EXPECT_EQ(logged[1]["type"], MB_ICONERROR);
    EXPECT_EQ(logged[2]["text"], "");
    EXPECT_EQ(logged[2]["caption"], "Error");

    ASSERT_EQ(op_->boxes.size(), 3u);
    EXPECT_FALSE(op_->boxes[0].hasOwner);
    EXPECT_TRUE(op_->boxes[1].hasOwner);
    EXPECT_EQ(op_->boxes[1].ownerCaption, u"Updating IMAGE");
    EXPECT_EQ(op_->boxes[1].text, u"Cannot Open Image File");
    EXPECT_EQ(op_->boxes[1].type, static_cast<UINT>(MB_ICONERROR));
}

TEST_F(Boxes, MessageBoxWithAnOwnerThatIsNoWindowFails) {
    EXPECT_EQ(MessageBoxW(reinterpret_cast<HWND>(0x999), u"x", u"y", MB_OK), 0);
    EXPECT_TRUE(op_->boxes.empty());
    EXPECT_TRUE(events("messagebox").empty());
}

TEST_F(Boxes, MessageBoxFromAThreadWithoutWindows) {
    std::thread worker([] { EXPECT_EQ(MessageBoxW(nullptr, u"from a worker", u"W", MB_OK), IDOK); });
    worker.join();
    ASSERT_EQ(op_->boxes.size(), 1u);
    EXPECT_EQ(op_->boxes[0].text, u"from a worker");
}

TEST_F(Boxes, FileOpenShowsTheRequestAndReturnsTheChoice) {
    op_->fileOpen = [](const wince::FileOpenView &) { return std::u16string(u"\\images\\nk.bin"); };
    Request r;
    BOOL ok = FALSE;
    insideUpdateDialog([&](HWND dlg) {
        r.ofn.hwndOwner = dlg;
        ok = GetOpenFileNameW(&r.ofn);
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::u16string(r.file), u"\\images\\nk.bin");
    EXPECT_EQ(r.ofn.nFileOffset, 8);
    EXPECT_EQ(r.ofn.nFileExtension, 11);

    ASSERT_EQ(op_->requests.size(), 1u);
    const auto &seen = op_->requests[0];
    EXPECT_TRUE(seen.hasOwner);
    EXPECT_EQ(seen.ownerCaption, u"Updating IMAGE");
    ASSERT_EQ(seen.filters.size(), 1u);
    EXPECT_EQ(seen.filters[0].first, u"IMAGE files");
    EXPECT_EQ(seen.filters[0].second, u"*.bin");
    EXPECT_EQ(seen.filterIndex, 1u);
    EXPECT_EQ(seen.initialDir, u"\\");
    EXPECT_EQ(seen.initialFile, u"\\pre.bin");
    EXPECT_EQ(seen.maxFile, 260u);
    EXPECT_EQ(seen.flags, 0x1800u);

    auto logged = events("fileopen");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0]["owner"], "Updating IMAGE");
    EXPECT_EQ(logged[0]["filters"], nlohmann::json::parse(R"([{"name":"IMAGE files","pattern":"*.bin"}])"));
    EXPECT_EQ(logged[0]["filter_index"], 1);
    EXPECT_EQ(logged[0]["initial_dir"], "\\");
    EXPECT_EQ(logged[0]["initial_file"], "\\pre.bin");
    EXPECT_EQ(logged[0]["flags"], 0x1800);
    EXPECT_EQ(logged[0]["max_file"], 260);
    EXPECT_EQ(logged[0]["result"], "\\images\\nk.bin");
}

TEST_F(Boxes, FileNameOffsetsFollowThePlatform) {
    struct Case {
        const char16_t *chosen;
        const char16_t *path;
        WORD offset, extension;
    } cases[] = {
        {u"\\image.bin", u"\\image.bin", 1, 7},
        {u"image.bin", u"\\image.bin", 1, 7},              // a bare name is taken in the initial folder
        {u"\\images\\noext", u"\\images\\noext", 8, 13},   // no extension: the end of the path
        {u"\\images\\trail.", u"\\images\\trail.", 8, 0},  // a name ending in its dot
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(wince::toUtf8(c.chosen));
        op_->fileOpen = [&](const wince::FileOpenView &) { return std::u16string(c.chosen); };
        Request r;
        ASSERT_TRUE(GetOpenFileNameW(&r.ofn));
        EXPECT_EQ(std::u16string(r.file), c.path);
        EXPECT_EQ(r.ofn.nFileOffset, c.offset);
        EXPECT_EQ(r.ofn.nFileExtension, c.extension);
    }
}

TEST_F(Boxes, CancelAndAPathTooLongForTheBufferGiveFalse) {
    op_->fileOpen = [](const wince::FileOpenView &) { return std::nullopt; };
    Request cancelled;
    EXPECT_FALSE(GetOpenFileNameW(&cancelled.ofn));
    EXPECT_EQ(std::u16string(cancelled.file), u"\\pre.bin");

    op_->fileOpen = [](const wince::FileOpenView &) { return std::u16string(u"\\image.bin"); };  // 10 characters
    Request tight;
    tight.ofn.nMaxFile = 11;  // just room for it and its NUL
    EXPECT_TRUE(GetOpenFileNameW(&tight.ofn));
    Request tooSmall;
    tooSmall.ofn.nMaxFile = 10;
    EXPECT_FALSE(GetOpenFileNameW(&tooSmall.ofn));
    EXPECT_EQ(std::u16string(tooSmall.file), u"\\pre.bin") << "nothing is written";

    auto logged = events("fileopen");
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_TRUE(logged[0]["result"].is_null());
    EXPECT_EQ(logged[1]["result"], "\\image.bin");
    EXPECT_TRUE(logged[2]["result"].is_null());
    EXPECT_TRUE(logged[2].contains("error"));
}

TEST_F(Boxes, APathThatMustExistIsAskedForAgain) {
    // 262 characters, of a file that is there.
    const std::u16string tooLong = u"\\" + std::u16string(130, u'a') + u"\\" + std::u16string(126, u'b') + u".bin";
    std::filesystem::create_directories(board_->files() / std::string(130, 'a'));
    vtest::writeFile(board_->files() / std::string(130, 'a') / std::string(126, 'b').append(".bin"), "");
    std::vector<std::u16string> answers = {u"\\missing.bin", u"\\images", u"\\nofolder\\x.bin", tooLong,
                                           u"\\image.bin"};
    size_t next = 0;
    op_->fileOpen = [&](const wince::FileOpenView &) { return answers.at(next++); };
    Request r;
    ASSERT_TRUE(GetOpenFileNameW(&r.ofn));
    EXPECT_EQ(std::u16string(r.file), u"\\image.bin");
    ASSERT_EQ(op_->requests.size(), 5u);
    EXPECT_TRUE(op_->requests[0].refusal.empty());
    EXPECT_EQ(op_->requests[1].refusedPath, u"\\missing.bin");
    EXPECT_EQ(op_->requests[1].refusal, "no such file on the board");
    EXPECT_EQ(op_->requests[2].refusal, "no such file on the board") << "a folder is not a file";
    EXPECT_EQ(op_->requests[3].refusal, "no such folder on the board");
    EXPECT_EQ(op_->requests[4].refusal, "the path is 262 characters, longer than the board's limit of 259")
        << "the file exists on the host";
    EXPECT_EQ(events("fileopen_refused").size(), 4u);
    EXPECT_EQ(events("fileopen").size(), 1u);
}

TEST_F(Boxes, WhatMustExistDependsOnTheFlags) {
    struct Case {
        DWORD flags;
        const char16_t *chosen;
        bool takenAtOnce;
    } cases[] = {
        {0, u"\\missing.bin", true},
        {OFN_PATHMUSTEXIST, u"\\missing.bin", true},
        {OFN_PATHMUSTEXIST, u"\\nofolder\\x.bin", false},
        {OFN_FILEMUSTEXIST, u"\\missing.bin", false},
        {OFN_FILEMUSTEXIST, u"\\IMAGES\\NK.BIN", true},  // names are matched without regard to case
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(wince::toUtf8(c.chosen));
        int asked = 0;
        op_->fileOpen = [&](const wince::FileOpenView &) -> std::optional<std::u16string> {
            if (++asked > 1) return std::nullopt;
            return std::u16string(c.chosen);
        };
        Request r(nullptr, c.flags);
        EXPECT_EQ(GetOpenFileNameW(&r.ofn) != FALSE, c.takenAtOnce);
        EXPECT_EQ(asked, c.takenAtOnce ? 1 : 2);
    }
}

TEST_F(Boxes, MalformedRequestsAreRefusedWithoutADialog) {
    Request wrongSize;
    wrongSize.ofn.lStructSize = 76;  // the board's size, not this platform's
    Request noBuffer;
    noBuffer.ofn.lpstrFile = nullptr;
    Request noRoom;
    noRoom.ofn.nMaxFile = 0;
    Request badOwner(reinterpret_cast<HWND>(0x4444));
    for (Request *r : {&wrongSize, &noBuffer, &noRoom, &badOwner}) EXPECT_FALSE(GetOpenFileNameW(&r->ofn));
    EXPECT_FALSE(GetOpenFileNameW(nullptr));
    EXPECT_TRUE(op_->requests.empty());
    EXPECT_EQ(events("fileopen_failed").size(), 5u);
    EXPECT_TRUE(events("fileopen").empty());
}

TEST_F(Boxes, FilterListsOfSeveralPairsAndNoneAtAll) {
    op_->fileOpen = [](const wince::FileOpenView &) { return std::nullopt; };
    Request several;
    several.ofn.lpstrFilter = u"IMAGE files\0*.bin\0All files\0*.*\0";
    GetOpenFileNameW(&several.ofn);
    Request none;
    none.ofn.lpstrFilter = nullptr;
    none.ofn.lpstrInitialDir = nullptr;
    GetOpenFileNameW(&none.ofn);
    ASSERT_EQ(op_->requests.size(), 2u);
    ASSERT_EQ(op_->requests[0].filters.size(), 2u);
    EXPECT_EQ(op_->requests[0].filters[1].first, u"All files");
    EXPECT_EQ(op_->requests[0].filters[1].second, u"*.*");
    EXPECT_TRUE(op_->requests[1].filters.empty());
    EXPECT_TRUE(events("fileopen")[1]["initial_dir"].is_null());
}

}  // namespace
