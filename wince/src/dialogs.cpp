// Modal dialogs: made from their templates, run by a message loop on the
// calling thread until EndDialog, and played by the operator. The loop asks
// the operator what to do after WM_INITDIALOG, after every message it
// carries out and about every 50 ms when idle, but only while its dialog is
// the window in front. A message sent by another thread is answered only
// after the operator has been asked, so that whatever a script does on
// seeing a text lands before the sending thread goes on.
#include <windows.h>

#include <nlohmann/json.hpp>

#include "resources.h"
#include "ui.h"
#include "wince/host.h"

namespace wince::ui {

namespace {

constexpr auto kIdleTurn = std::chrono::milliseconds(50);
// A template handed in from outside any resource has no known end; the
// platform trusts the caller there, and so do we, up to this much.
constexpr size_t kLooseTemplateLimit = 64 * 1024;

nlohmann::json captionOrNull(const std::optional<std::u16string> &caption) {
    return caption ? nlohmann::json(toUtf8(*caption)) : nlohmann::json(nullptr);
}

void logEvent(nlohmann::json event) { currentBoard().log().append(std::move(event)); }

void press(Dialog &dialog, int id) {
    auto control = dialog.child(id);
    if (!control) return;  // the operator chose a control that is not there: nothing to press
    logEvent({{"event", "press"}, {"id", id}, {"text", toUtf8(control->text())}, {"dialog", toUtf8(dialog.caption())}});
    control->handle(BM_CLICK, 0, 0);
}

void close(Dialog &dialog) {
    logEvent({{"event", "close"}, {"dialog", toUtf8(dialog.caption())}});
    dialog.handle(WM_CLOSE, 0, 0);
}

// Asks the operator about `dialog` while it is in front and carries out
// what it chooses. One action per look: messages that arrived meanwhile are
// carried out before the operator is asked again, so an operator that keeps
// acting cannot starve a sender. True when it acted.
bool consult(Dialog &dialog) {
    if (dialog.ended) return false;
    Action action;
    {
        std::lock_guard<std::mutex> lock(frontMutex());
        if (!isFront(dialog.hwnd)) return false;
        action = currentOperator().onDialog(dialog.view());
    }
    switch (action.kind) {
    case Action::None:
        return false;
    case Action::Press:
        press(dialog, action.controlId);
        return true;
    case Action::Close:
        close(dialog);
        return true;
    }
    return false;
}

void modalLoop(Dialog &dialog) {
    auto queue = dialog.queue;
    bool acted = consult(dialog);
    while (!dialog.ended) {
        // After an action look again at once; otherwise wait for a message
        // or the idle turn.
        auto item = queue->next(false, acted ? decltype(kIdleTurn){0} : kIdleTurn, [&] { return dialog.ended.load(); });
        if (item) carryOut(*item, [&] { acted = consult(dialog); });
        else acted = consult(dialog);
    }
}

// Everything a dialog holds is given back on every way out of
// DialogBoxIndirectParamW, also when an operator's failure unwinds it.
struct DialogLife {
    std::shared_ptr<Dialog> dialog;
    std::vector<std::shared_ptr<Window>> windows;
    uint64_t frontToken = 0;
    ~DialogLife() {
        leaveFront(frontToken);
        dialog->queue->retire(windows);
        for (auto &w : windows) removeWindow(w->hwnd);
    }
};

int refuse(const std::string &reason, DWORD error) {
    logEvent({{"event", "dialog_failed"}, {"reason", reason}});
    SetLastError(error);
    return -1;
}

}  // namespace

// --- Dialog -------------------------------------------------------------------

LRESULT Dialog::handle(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (proc != nullptr) {
        const BOOL handled = proc(hwnd, msg, wParam, lParam);
        if (handled) return handled;
    }
    // What the platform's dialog manager does with what the procedure leaves.
    switch (msg) {
    case WM_CLOSE: {
        auto cancel = child(IDCANCEL);
        return handle(WM_COMMAND, MAKEWPARAM(IDCANCEL, kButtonClicked),
                      reinterpret_cast<LPARAM>(cancel ? cancel->hwnd : nullptr));
    }
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
        return Window::handle(msg, wParam, lParam);
    default:
        return 0;
    }
}

std::shared_ptr<Window> Dialog::child(int controlId) const {
    for (auto &c : children)
        if (c->id == controlId) return c;
    return nullptr;
}

DialogView Dialog::view() const {
    DialogView view;
    view.hwnd = hwnd;
    std::lock_guard<std::mutex> lock(stateMutex());
    view.caption = text_;
    view.controls.reserve(children.size());
    for (auto &c : children) {
        ControlView control;
        c->describe(control);
        view.controls.push_back(std::move(control));
    }
    return view;
}

void Dialog::setCaption(std::u16string caption) {
    std::lock_guard<std::mutex> lock(stateMutex());
    text_ = std::move(caption);
}

}  // namespace wince::ui

int WINAPI DialogBoxIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                   DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    using namespace wince::ui;
    if (lpTemplate == nullptr) return refuse("no dialog template", ERROR_INVALID_PARAMETER);
    const auto span = wince::resourceDataFrom(wince::moduleOf(hInstance), lpTemplate);
    const size_t size = span.empty() ? kLooseTemplateLimit : span.size();
    auto parsed = wince::parseDialogTemplate(lpTemplate, size);
    if (!parsed.dialog) return refuse("bad dialog template: " + parsed.error, ERROR_INVALID_PARAMETER);
    const wince::DialogTemplate &t = *parsed.dialog;

    std::shared_ptr<Dialog> ownerDialog;
    if (hWndParent != nullptr) {
        ownerDialog = dialogOf(hWndParent);
        if (!ownerDialog) return refuse("the owner window does not exist", kErrorInvalidWindowHandle);
    }

    auto dialog = std::make_shared<Dialog>();
    dialog->className = u"#32770";
    dialog->style = t.style;
    dialog->exStyle = t.exStyle;
    dialog->x = t.x;
    dialog->y = t.y;
    dialog->cx = t.cx;
    dialog->cy = t.cy;
    dialog->setCaption(t.caption);
    dialog->proc = lpDialogFunc;
    dialog->owner = ownerDialog ? ownerDialog->hwnd : nullptr;
    dialog->queue = currentQueue();
    for (const auto &item : t.items) {
        std::string whyNot;
        auto control = makeControl(item, whyNot);
        if (!control) return refuse("dialog \"" + wince::toUtf8(t.caption) + "\": " + whyNot, ERROR_INVALID_PARAMETER);
        control->queue = dialog->queue;
        dialog->children.push_back(std::move(control));
    }

    DialogLife life{dialog, {}, 0};
    addWindow(dialog);
    life.windows.push_back(dialog);
    HWND firstTabStop = nullptr;
    for (auto &control : dialog->children) {
        control->parent = dialog->hwnd;
        addWindow(control);
        life.windows.push_back(control);
        if (firstTabStop == nullptr && (control->style & WS_TABSTOP)) firstTabStop = control->hwnd;
    }
    dialog->queue->adopt(life.windows.size());

    if (dialog->proc != nullptr)
        dialog->proc(dialog->hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), dwInitParam);

    // A dialog ended while it was being set up is never shown.
    if (!dialog->ended) {
        life.frontToken = bringToFront(FrontKind::Dialog, dialog->hwnd, dialog->owner);
        logEvent({{"event", "dialog_open"},
                  {"caption", wince::toUtf8(dialog->caption())},
                  {"owner",
                   captionOrNull(ownerDialog ? std::optional<std::u16string>(ownerDialog->caption()) : std::nullopt)}});
        wince::currentOperator().onDialogOpened(dialog->view());
        modalLoop(*dialog);
        if (dialog->proc != nullptr) dialog->proc(dialog->hwnd, WM_DESTROY, 0, 0);
        const auto last = dialog->view();
        leaveFront(life.frontToken);
        life.frontToken = 0;
        logEvent(
            {{"event", "dialog_close"}, {"caption", wince::toUtf8(last.caption)}, {"result", dialog->result.load()}});
        wince::currentOperator().onDialogClosed(last);
    } else if (dialog->proc != nullptr) {
        dialog->proc(dialog->hwnd, WM_DESTROY, 0, 0);
    }
    return dialog->result;
}

BOOL WINAPI EndDialog(HWND hDlg, int nResult) {
    auto dialog = std::dynamic_pointer_cast<wince::ui::Dialog>(wince::ui::findWindow(hDlg));
    if (!dialog) {
        SetLastError(wince::ui::kErrorInvalidWindowHandle);
        return FALSE;
    }
    // From any thread: the dialog's own loop sees it and ends.
    dialog->queue->signal([&] {
        dialog->result = nResult;
        dialog->ended = true;
    });
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    auto dialog = std::dynamic_pointer_cast<wince::ui::Dialog>(wince::ui::findWindow(hDlg));
    if (!dialog) {
        SetLastError(wince::ui::kErrorInvalidWindowHandle);
        return nullptr;
    }
    auto control = dialog->child(nIDDlgItem);
    if (!control) {
        SetLastError(wince::ui::kErrorControlIdNotFound);
        return nullptr;
    }
    return control->hwnd;
}

BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
    HWND control = GetDlgItem(hDlg, nIDDlgItem);
    if (control == nullptr) return FALSE;
    return SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0 ? TRUE : FALSE;
}

UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int nMaxCount) {
    HWND control = GetDlgItem(hDlg, nIDDlgItem);
    if (control == nullptr) {
        if (lpString != nullptr && nMaxCount > 0) lpString[0] = 0;
        return 0;
    }
    return static_cast<UINT>(SendMessageW(control, WM_GETTEXT, static_cast<WPARAM>(nMaxCount > 0 ? nMaxCount : 0),
                                          reinterpret_cast<LPARAM>(lpString)));
}
