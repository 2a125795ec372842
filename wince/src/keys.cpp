// The key-state queries, answered from the board's keys (`vboard key`).
#include <windows.h>

#include "board/volumes.h"
#include "wince/host.h"

namespace {

// The board's name of a virtual key, or null for keys the board lacks.
const char *keyName(int vKey) {
    switch (vKey) {
    case VK_SHIFT:
    case 0xA0:  // left Shift
    case 0xA1:  // right Shift
        return "shift";
    case VK_CONTROL:
    case 0xA2:
    case 0xA3:
        return "ctrl";
    case VK_MENU:
    case 0xA4:
    case 0xA5:
        return "alt";
    default:
        return nullptr;
    }
}

SHORT keyState(int vKey) {
    const char *name = keyName(vKey);
    if (name == nullptr || !board::keyHeld(wince::currentBoard(), name)) return 0;
    return static_cast<SHORT>(0x8000);  // the top bit: held now
}

}  // namespace

SHORT WINAPI GetAsyncKeyState(int vKey) { return keyState(vKey); }

SHORT WINAPI GetKeyState(int nVirtKey) { return keyState(nVirtKey); }
