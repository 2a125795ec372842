// Message boxes: logged, put in front of everything else and handed to the
// operator, from whichever thread shows them. A thread that owns windows
// goes on carrying out their messages meanwhile, as in the platform's
// message box loop.
#include <windows.h>

#include <nlohmann/json.hpp>

#include "ui.h"
#include "wince/host.h"

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    using namespace wince::ui;
    wince::MessageBoxView box;
    if (hWnd != nullptr) {
        auto owner = ownerCaption(hWnd);
        if (!owner) {
            SetLastError(kErrorInvalidWindowHandle);
            return 0;
        }
        box.hasOwner = true;
        box.ownerCaption = *owner;
    }
    box.text = lpText != nullptr ? std::u16string(lpText) : std::u16string();
    box.caption = lpCaption != nullptr ? std::u16string(lpCaption) : std::u16string(u"Error");
    box.type = uType;

    wince::currentBoard().log().append(
        {{"event", "messagebox"},
         {"text", wince::toUtf8(box.text)},
         {"caption", wince::toUtf8(box.caption)},
         {"owner", box.hasOwner ? nlohmann::json(wince::toUtf8(box.ownerCaption)) : nlohmann::json(nullptr)},
         {"type", uType}});

    struct InFront {
        uint64_t token;
        ~InFront() { leaveFront(token); }
    } inFront{bringToFront(FrontKind::MessageBox, nullptr, hWnd)};
    runModal([&] { wince::currentOperator().onMessageBox(box); });
    return IDOK;
}
