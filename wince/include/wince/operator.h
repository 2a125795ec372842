// The person in front of the board. The host's dialog manager, message boxes
// and file-open dialog hand every decision to the operator of the process:
// a script for tests and demos, the terminal for a person, or a test's own.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace wince {

struct ControlView {
    int id = 0;
    std::u16string className;  // "BUTTON", "STATIC", "msctls_progress32", ...
    std::u16string text;
    uint32_t style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;           // dialog units, as in the template
    int rangeMin = 0, rangeMax = 100, pos = 0;  // progress bars
};

struct DialogView {
    HWND hwnd = nullptr;
    std::u16string caption;
    std::vector<ControlView> controls;
    const ControlView *find(int id) const {
        for (const auto &c : controls)
            if (c.id == id) return &c;
        return nullptr;
    }
};

struct MessageBoxView {
    std::u16string text;
    std::u16string caption;
    UINT type = 0;
    bool hasOwner = false;
    std::u16string ownerCaption;  // caption of the owner dialog, if any
};

struct FileOpenView {
    bool hasOwner = false;
    std::u16string ownerCaption;
    std::vector<std::pair<std::u16string, std::u16string>> filters;  // (name, pattern)
    DWORD filterIndex = 0;
    std::u16string initialDir;
    std::u16string initialFile;  // what the file name box shows at first
    DWORD maxFile = 0;
    DWORD flags = 0;
    DWORD structSize = 0;
    // Set when the dialog asks again because it could not take the last
    // choice (a file that must exist and doesn't): that path and why.
    std::u16string refusedPath;
    std::string refusal;
};

struct Action {
    enum Kind { None, Press, Close } kind = None;
    int controlId = 0;  // for Press
};

class Operator {
  public:
    virtual ~Operator() = default;
    // The modal loop of `front` (the window in front) asks what to do. Called
    // after every change to the dialog and when idle (about every 50 ms).
    // None means: keep waiting.
    virtual Action onDialog(const DialogView &front) = 0;
    virtual void onDialogOpened(const DialogView &) {}
    virtual void onDialogClosed(const DialogView &) {}
    // Returns when the person has dismissed the box.
    virtual void onMessageBox(const MessageBoxView &box) = 0;
    // The chosen path, or nothing for Cancel.
    virtual std::optional<std::u16string> onFileOpen(const FileOpenView &request) = 0;
    // The board was powered up for this program: the boot loader's line.
    virtual void onBoardStart(const std::string &) {}
    // The program has ended normally; a script checks it was played to its end.
    virtual void onProgramEnd() {}
};

}  // namespace wince
