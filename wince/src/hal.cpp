// The board's adaptation layer (control codes) and registry persistence.
#include <windows.h>
#include <pkfuncs.h>

#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "board/boot.h"
#include "hal.h"
#include "wince/host.h"

namespace wince {

void rebootBoard() {
    auto &board = currentBoard();
    board.log().append({{"event", "reboot"}});
    if (board.setting<std::string>("/hal/reboot", "restart") != "restart") return;
    // The board restarts: the program is gone and the hardware powers up.
    board.powerUp();
    for (auto hook : powerUpHooks()) hook(board);
    const auto boot = board::lastBoot(board);
    std::fprintf(stderr, "%s: the board reboots; boot: %s\n", messagePrefix(), boot ? boot->line().c_str() : "none");
    std::fflush(stderr);
    ::_exit(kRebootExitCode);
}

std::vector<void (*)(board::Board &)> &powerUpHooks() {
    static std::vector<void (*)(board::Board &)> hooks;
    return hooks;
}

}  // namespace wince

BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID, DWORD, LPVOID lpOutBuf, DWORD nOutBufSize,
                            LPDWORD lpBytesReturned) {
    auto &board = wince::currentBoard();
    switch (dwIoControlCode) {
    case IOCTL_HAL_REBOOT:
        wince::rebootBoard();
        return TRUE;
    case wince::kIoctlOemClearRegistry: {
        const bool ok = board.clearRegistry();
        board.log().append({{"event", "registry_clear"}, {"ok", ok}});
        return ok ? TRUE : FALSE;
    }
    case wince::kIoctlOemBoardInfo: {
        if (board.setting<bool>("/hal/board_info_fails", false)) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        if (lpOutBuf == nullptr || nOutBufSize < 3 * sizeof(DWORD)) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        const DWORD info[3] = {board.setting<DWORD>("/board_id", 1), board.setting<DWORD>("/bsp_version/major", 0),
                               board.setting<DWORD>("/bsp_version/minor", 0)};
        std::memcpy(lpOutBuf, info, sizeof info);
        if (lpBytesReturned != nullptr) *lpBytesReturned = sizeof info;
        return TRUE;
    }
    default:
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
}

LONG WINAPI RegFlushKey(HKEY hKey) {
    auto &board = wince::currentBoard();
    if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_CURRENT_USER && hKey != HKEY_CLASSES_ROOT && hKey != HKEY_USERS)
        return ERROR_INVALID_HANDLE;
    const bool ok = board.saveRegistry();
    board.log().append({{"event", "registry_save"}, {"ok", ok}});
    return ok ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}
