// The key-state queries, answered from the board's keys (`vboard key`).
#include <windows.h>

#include <map>
#include <mutex>
#include <string>

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

constexpr uint16_t kHeldNow = 0x8000;
constexpr uint16_t kPressedSinceLastQuery = 0x0001;

bool held(const char *name) { return name != nullptr && board::keyHeld(wince::currentBoard(), name); }

}  // namespace

// The top bit: held now. The low bit: the key went down since this process
// last asked about it, held or not by now, so a tap between two queries
// answers 0x0001 alone. Before its first query a process has seen only
// what is held then.
SHORT WINAPI GetAsyncKeyState(int vKey) {
    static std::mutex mutex;
    static std::map<std::string, uint64_t> seen;  // board folder and key -> presses at the last query
    const char *name = keyName(vKey);
    if (name == nullptr) return 0;
    auto &board = wince::currentBoard();
    const bool down = held(name);
    const uint64_t presses = board::keyPresses(board, name);
    uint16_t state = down ? kHeldNow : 0;
    std::lock_guard<std::mutex> lock(mutex);
    const auto [last, first] = seen.try_emplace(board.dir().string() + '\n' + name, presses);
    if (first ? down : last->second != presses) state |= kPressedSinceLastQuery;
    last->second = presses;
    return static_cast<SHORT>(state);
}

SHORT WINAPI GetKeyState(int nVirtKey) { return static_cast<SHORT>(held(keyName(nVirtKey)) ? kHeldNow : 0); }
