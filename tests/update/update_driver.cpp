#include "update_driver.h"

#include <windows.h>

#include "resource.h"
#include "update_tool.h"

extern "C" const wince::ModuleResources wince_program_module;
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

namespace vtest {

wince::Action RecordingOperator::onDialog(const wince::DialogView &front) {
    if (front.caption == u"Updating IMAGE") {
        UpdateView v;
        auto text = [&](int id) { return front.find(id) ? front.find(id)->text : std::u16string(); };
        v.stepText = text(IDC_STEP_TEXT);
        v.imageText = text(IDC_IMAGE_TEXT);
        if (auto *c = front.find(IDC_STEP_PROGRESS)) v.stepMax = c->rangeMax, v.stepPos = c->pos;
        if (auto *c = front.find(IDC_TOTAL_PROGRESS)) v.totalMax = c->rangeMax, v.totalPos = c->pos;
        std::function<wince::Action(const UpdateView &)> handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (views_.empty() || !(views_.back() == v)) views_.push_back(v);
            handler = onUpdate;
        }
        return handler ? handler(v) : wince::Action{};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (mainButton != 0 && !pressed_) {
        pressed_ = true;
        return {wince::Action::Press, mainButton};
    }
    return {wince::Action::Close, 0};
}

void RecordingOperator::onMessageBox(const wince::MessageBoxView &box) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.push_back(box);
    }
    if (onBox) onBox(box);
}

std::optional<std::u16string> RecordingOperator::onFileOpen(const wince::FileOpenView &request) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fileOpens_.push_back(request);
    }
    if (choice && onFileChosen) onFileChosen();
    return choice;
}

std::vector<UpdateView> RecordingOperator::views() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return views_;
}
std::vector<wince::MessageBoxView> RecordingOperator::boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
}
std::vector<wince::FileOpenView> RecordingOperator::fileOpens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fileOpens_;
}

int runUpdateTool(const TempBoard &board, std::shared_ptr<RecordingOperator> op, const std::u16string &commandLine) {
    wince::boot(board.dir(), op, "image-update-tool");
    std::u16string cmd = commandLine;
    const int rc = WinMain(reinterpret_cast<HINSTANCE>(const_cast<wince::ModuleResources *>(&wince_program_module)),
                           nullptr, cmd.data(), SW_SHOW);
    wince::shutdown();
    return rc;
}

std::string flashContents(const TempBoard &board) { return readFile(board.dir() / "flash.bin"); }

std::string flashAt(const std::string &flash, uint32_t flashAddress, size_t size) {
    return flash.substr(flashAddress - 0x9C000000u, size);
}

}  // namespace vtest
