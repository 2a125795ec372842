// Shared pieces of the platform tests: a board booted in this process with
// an operator the test controls, fatal stops turned into exceptions, a
// builder for dialog templates the resource compiler would not make, the
// update dialog's file-open request, and the terminal operator on pipes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "operator_terminal.h"
#include "test_support.h"
#include "wince/host.h"
#include "wince/operator.h"

extern "C" const wince::ModuleResources wince_program_module;

namespace ptest {

// What a fatal stop throws in these tests.
struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline HINSTANCE programInstance() {
    return reinterpret_cast<HINSTANCE>(const_cast<wince::ModuleResources *>(&wince_program_module));
}

// An operator whose answers the test sets; it records what it was shown.
class TestOperator : public wince::Operator {
  public:
    std::function<wince::Action(const wince::DialogView &)> dialog;
    std::function<void(const wince::MessageBoxView &)> box;
    std::function<std::optional<std::u16string>(const wince::FileOpenView &)> fileOpen;

    wince::Action onDialog(const wince::DialogView &front) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++dialogCalls;
            lastFront = front;
        }
        return dialog ? dialog(front) : wince::Action{};
    }
    void onDialogOpened(const wince::DialogView &v) override {
        std::lock_guard<std::mutex> lock(mutex);
        opened.push_back(wince::toUtf8(v.caption));
    }
    void onDialogClosed(const wince::DialogView &v) override {
        std::lock_guard<std::mutex> lock(mutex);
        closed.push_back(wince::toUtf8(v.caption));
    }
    void onMessageBox(const wince::MessageBoxView &b) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            boxes.push_back(b);
        }
        if (box) box(b);
    }
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &r) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(r);
        }
        return fileOpen ? fileOpen(r) : std::nullopt;
    }

    std::mutex mutex;
    int dialogCalls = 0;
    wince::DialogView lastFront;
    std::vector<std::string> opened, closed;
    std::vector<wince::MessageBoxView> boxes;
    std::vector<wince::FileOpenView> requests;
};

// A board booted in this process with `op` at it.
class BootedBoard : public ::testing::Test {
  protected:
    void boot(std::shared_ptr<wince::Operator> op) {
        board_ = std::make_unique<vtest::TempBoard>();
        wince::setFatalHandler([](const std::string &m) { throw Fatal(m); });
        wince::boot(board_->dir(), std::move(op), "platform-test");
        InitCommonControls();
    }
    void TearDown() override {
        wince::shutdown();
        wince::setFatalHandler(nullptr);
        board_.reset();
    }
    std::vector<nlohmann::json> events(const std::string &kind) const { return board_->events(kind); }
    std::unique_ptr<vtest::TempBoard> board_;
};

// Writes standard dialog templates, DWORD-aligned as the resource compiler does.
class TemplateBuilder {
  public:
    TemplateBuilder(uint32_t style, const std::u16string &caption, int cx = 100, int cy = 50) {
        dword(style);
        dword(0);
        countAt_ = bytes_.size();
        word(0);
        for (int v : {0, 0, cx, cy}) word(static_cast<uint16_t>(v));
        word(0);  // no menu
        word(0);  // default class
        string(caption);
        if (style & 0x40) {
            word(8);
            string(u"System");
        }
    }
    // `cls` 0x80.. for a predefined class, or 0 with `className`.
    TemplateBuilder &item(uint16_t id, uint16_t cls, const std::u16string &title, uint32_t style = 0x50010000,
                          const std::u16string &className = u"") {
        align();
        dword(style);
        dword(0);
        for (int v : {1, 2, 30, 10}) word(static_cast<uint16_t>(v));
        word(id);
        if (cls != 0) {
            word(0xFFFF);
            word(cls);
        } else {
            string(className);
        }
        string(title);
        word(0);  // no creation data
        ++count_;
        bytes_[countAt_] = static_cast<uint8_t>(count_);
        bytes_[countAt_ + 1] = static_cast<uint8_t>(count_ >> 8);
        return *this;
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    LPCDLGTEMPLATE get() const { return reinterpret_cast<LPCDLGTEMPLATE>(bytes_.data()); }

  private:
    void word(uint16_t w) {
        bytes_.push_back(static_cast<uint8_t>(w));
        bytes_.push_back(static_cast<uint8_t>(w >> 8));
    }
    void dword(uint32_t d) {
        word(static_cast<uint16_t>(d));
        word(static_cast<uint16_t>(d >> 16));
    }
    void string(const std::u16string &s) {
        for (char16_t c : s) word(c);
        word(0);
    }
    void align() {
        while (bytes_.size() % 4) bytes_.push_back(0);
    }
    size_t countAt_ = 0;
    uint16_t count_ = 0;
    std::vector<uint8_t> bytes_;
};

// The program's dialog template with this resource number.
inline LPCDLGTEMPLATE programDialog(int number) {
    HRSRC info = FindResourceW(programInstance(), MAKEINTRESOURCE(number), RT_DIALOG);
    return reinterpret_cast<LPCDLGTEMPLATE>(LoadResource(programInstance(), info));
}

// The request the update dialog makes of the file-open dialog.
struct FileOpenRequest {
    WCHAR file[260] = u"\\pre.bin";
    OPENFILENAMEW ofn = {};
    explicit FileOpenRequest(HWND owner = nullptr, DWORD flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST) {
        ofn.lStructSize = sizeof(OPENFILENAMEW);
        ofn.hwndOwner = owner;
        ofn.lpstrFilter = u"IMAGE files\0*.bin\0";
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = file;
        ofn.nMaxFile = 260;
        ofn.lpstrInitialDir = u"\\";
        ofn.Flags = flags;
    }
};

// The terminal operator on pipes: the test types into its input and reads,
// without waiting, what it drew on its output.
class TerminalOnPipes {
  protected:
    void startTerminal() {
        ASSERT_EQ(::pipe(in_), 0);
        ASSERT_EQ(::pipe(out_), 0);
        ::fcntl(out_[0], F_SETFL, O_NONBLOCK);
        op_ = wince::makeTerminalOperatorOn(in_[0], out_[1]);
    }
    void stopTerminal() {
        op_.reset();
        for (int *pair : {in_, out_})
            for (int i = 0; i < 2; ++i)
                if (pair[i] >= 0) ::close(pair[i]);
    }
    void type(const std::string &s) { ASSERT_EQ(::write(in_[1], s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    void endInput() {
        ::close(in_[1]);
        in_[1] = -1;
    }
    std::string output() {
        std::string s;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(out_[0], buffer, sizeof buffer)) > 0) s.append(buffer, static_cast<size_t>(n));
        return s;
    }

    int in_[2] = {-1, -1};
    int out_[2] = {-1, -1};
    std::shared_ptr<wince::Operator> op_;
};

}  // namespace ptest
