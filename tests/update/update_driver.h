// Runs the update tool in this process on a temporary board, with an operator
// that the test programs step by step and that records everything shown.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"
#include "wince/host.h"

namespace vtest {

// One state of the update dialog as the person saw it.
struct UpdateView {
    std::u16string stepText, imageText;
    int stepMax = 0, stepPos = 0, totalMax = 0, totalPos = 0;
    bool operator==(const UpdateView &) const = default;
};

class RecordingOperator : public wince::Operator {
  public:
    // What to do with the update dialog in front; default: nothing.
    std::function<wince::Action(const UpdateView &)> onUpdate;
    // File chosen in the file-open dialog; nullopt cancels.
    std::optional<std::u16string> choice;
    // Press this main-dialog button once, then close the main dialog.
    int mainButton = 0;
    // Called on the file choice, and on each message box as it is shown.
    std::function<void()> onFileChosen;
    std::function<void(const wince::MessageBoxView &)> onBox;

    wince::Action onDialog(const wince::DialogView &front) override;
    void onMessageBox(const wince::MessageBoxView &box) override;
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &request) override;

    std::vector<UpdateView> views() const;
    std::vector<wince::MessageBoxView> boxes() const;
    std::vector<wince::FileOpenView> fileOpens() const;

  private:
    mutable std::mutex mutex_;
    bool pressed_ = false;
    std::vector<UpdateView> views_;
    std::vector<wince::MessageBoxView> boxes_;
    std::vector<wince::FileOpenView> fileOpens_;
};

// Boots the platform on `board` with `op` and calls the tool's WinMain with
// `commandLine`; returns its exit code.
int runUpdateTool(const TempBoard &board, std::shared_ptr<RecordingOperator> op, const std::u16string &commandLine);

// The 64 MB flash array of a board as the devices hold it.
std::string flashContents(const TempBoard &board);
// Bytes at a kernel flash address (0x9C000000 + physical).
std::string flashAt(const std::string &flash, uint32_t flashAddress, size_t size);

}  // namespace vtest
