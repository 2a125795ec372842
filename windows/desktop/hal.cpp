// The board's adaptation layer: reboot, clearing the stored registry and the
// board information, and the registry's flush into the board's store, from
// the board folder as on the host.
#include <windows.h>

#include <pkfuncs.h>

#include <cstring>

#include "desktop.h"

namespace {

const DWORD kIoctlOemBoardInfo = CTL_CODE(FILE_DEVICE_HAL, 2051, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD kIoctlOemClearRegistry = CTL_CODE(FILE_DEVICE_HAL, 2052, METHOD_BUFFERED, FILE_ANY_ACCESS);

}  // namespace

extern "C" BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID, DWORD, LPVOID lpOutBuf, DWORD nOutBufSize,
                                       LPDWORD lpBytesReturned) {
    const desktop::BoardFolder &board = desktop::BoardFolder::get();
    if (dwIoControlCode == IOCTL_HAL_REBOOT) {
        board.log({{"event", "reboot"}});
        if (board.setting<std::string>("/hal/reboot", "restart") != "restart") return TRUE;
        // The board restarts: the program is gone and the hardware powers up.
        board.board().powerUp();
        ExitProcess(desktop::kRebootExitCode);
    }
    if (dwIoControlCode == kIoctlOemClearRegistry) {
        const bool ok = board.board().clearRegistry();
        board.log({{"event", "registry_clear"}, {"ok", ok}});
        return ok ? TRUE : FALSE;
    }
    if (dwIoControlCode == kIoctlOemBoardInfo) {
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
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// On the board a flush of the registry writes it into the store kept in
// flash. The desktop's own registry is flushed too.
LONG WINAPI CeRegFlushKey(HKEY key) {
    if (key != HKEY_LOCAL_MACHINE && key != HKEY_CURRENT_USER && key != HKEY_CLASSES_ROOT && key != HKEY_USERS)
        return ERROR_INVALID_HANDLE;
    RegFlushKey(key);
    const desktop::BoardFolder &board = desktop::BoardFolder::get();
    const bool ok = board.board().saveRegistry();
    board.log({{"event", "registry_save"}, {"ok", ok}});
    return ok ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}
