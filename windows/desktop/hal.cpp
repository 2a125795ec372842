// The board's adaptation layer: reboot, clearing the stored registry and the
// board information, from the board folder's settings as on the host.
#include <windows.h>

#include <pkfuncs.h>

#include <cstring>
#include <system_error>

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
        ExitProcess(desktop::kRebootExitCode);  // the program is gone with the board's restart
    }
    if (dwIoControlCode == kIoctlOemClearRegistry) {
        bool ok = !board.setting<bool>("/hal/clear_registry_fails", false);
        if (ok) {
            std::error_code ec;
            std::filesystem::remove(board.dir() / "registry" / "stored.reg", ec);
            ok = !ec;
        }
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
