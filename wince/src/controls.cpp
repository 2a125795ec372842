// The controls a dialog template can hold: push buttons, statics and the
// other predefined classes (which keep their text), and the common
// controls' progress bar.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>

#include "ui.h"
#include "wince/host.h"

namespace wince::ui {

namespace {

std::atomic<bool> g_commonControls{false};

bool sameClass(const std::u16string &a, const char16_t *b) {
    const std::u16string other(b);
    if (a.size() != other.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; };
        if (fold(a[i]) != fold(other[i])) return false;
    }
    return true;
}

class Button : public Window {
  public:
    LRESULT handle(UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg != BM_CLICK) return Window::handle(msg, wParam, lParam);
        // A click tells the dialog, as the platform's button does.
        auto dialog = findWindow(parent);
        if (dialog) send(dialog, WM_COMMAND, MAKEWPARAM(id, kButtonClicked), reinterpret_cast<LPARAM>(hwnd));
        return 0;
    }
};

// The common controls' progress bar. Like the platform's, it keeps its
// position inside its range: a position set or moved beyond an end stops at
// that end, and a new range pulls the position into it. Only a step past the
// maximum wraps around, so that the bar starts over from the minimum.
class ProgressBar : public Window {
  public:
    LRESULT handle(UINT msg, WPARAM wParam, LPARAM lParam) override {
        std::unique_lock<std::mutex> lock(stateMutex());
        switch (msg) {
        case PBM_SETRANGE: {
            const LRESULT old = previousRange();
            setRange(LOWORD(lParam), HIWORD(lParam));
            return old;
        }
        case PBM_SETRANGE32: {
            const LRESULT old = previousRange();
            setRange(static_cast<int>(wParam), static_cast<int>(lParam));
            return old;
        }
        case PBM_SETPOS: {
            const int old = pos_;
            pos_ = clamp(static_cast<int>(wParam));
            return old;
        }
        case PBM_DELTAPOS: {
            const int old = pos_;
            pos_ = clamp(static_cast<int64_t>(pos_) + static_cast<int>(wParam));
            return old;
        }
        case PBM_SETSTEP: {
            const int old = step_;
            step_ = static_cast<int>(wParam);
            return old;
        }
        case PBM_STEPIT: {
            const int old = pos_;
            pos_ = wrap(static_cast<int64_t>(pos_) + step_);
            return old;
        }
        case PBM_GETRANGE: {
            if (auto *range = reinterpret_cast<PBRANGE *>(lParam)) {
                range->iLow = min_;
                range->iHigh = max_;
            }
            return wParam ? min_ : max_;
        }
        case PBM_GETPOS:
            return pos_;
        default:
            lock.unlock();
            return Window::handle(msg, wParam, lParam);
        }
    }

    void describe(ControlView &view) const override {
        Window::describe(view);
        view.rangeMin = min_;
        view.rangeMax = max_;
        view.pos = pos_;
    }

  private:
    // The previous range comes back as two 16-bit halves, also for the 32-bit message.
    LRESULT previousRange() const { return static_cast<LRESULT>(static_cast<DWORD>(MAKELONG(min_, max_))); }
    void setRange(int low, int high) {
        min_ = low;
        max_ = high;
        pos_ = clamp(pos_);
    }
    int clamp(int64_t p) const {
        if (p > max_) p = max_;
        if (p < min_) p = min_;
        return static_cast<int>(p);
    }
    int wrap(int64_t p) const {
        const int64_t span = static_cast<int64_t>(max_) - min_;
        if (span <= 0) return min_;
        if (p > max_) p = min_ + (p - min_) % span;
        if (p < min_) p = max_ - (max_ - p) % span;
        return static_cast<int>(p);
    }

    int min_ = 0;
    int max_ = 100;
    int pos_ = 0;
    int step_ = 10;
};

}  // namespace

bool commonControlsReady() { return g_commonControls; }

std::shared_ptr<Window> makeControl(const DialogItemTemplate &item, std::string &whyNot) {
    std::shared_ptr<Window> control;
    const std::u16string &cls = item.className;
    if (sameClass(cls, u"BUTTON")) {
        control = std::make_shared<Button>();
    } else if (sameClass(cls, u"STATIC") || sameClass(cls, u"EDIT") || sameClass(cls, u"LISTBOX") ||
               sameClass(cls, u"SCROLLBAR") || sameClass(cls, u"COMBOBOX")) {
        control = std::make_shared<Window>();
    } else if (sameClass(cls, PROGRESS_CLASSW)) {
        if (!g_commonControls) {
            whyNot = "the progress bar class is not registered (InitCommonControls was not called)";
            return nullptr;
        }
        control = std::make_shared<ProgressBar>();
    } else {
        whyNot = "no window class \"" + toUtf8(cls) + "\"";
        return nullptr;
    }
    control->id = static_cast<int>(static_cast<WORD>(item.id));
    control->className = cls;
    control->style = item.style;
    control->exStyle = item.exStyle;
    control->x = item.x;
    control->y = item.y;
    control->cx = item.cx;
    control->cy = item.cy;
    std::u16string title = item.title.kind == TemplateName::Text ? item.title.text : std::u16string();
    control->handle(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(title.c_str()));
    return control;
}

}  // namespace wince::ui

void WINAPI InitCommonControls(void) { wince::ui::g_commonControls = true; }
