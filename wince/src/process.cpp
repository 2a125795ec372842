// Starting programs. The board's programs are ARM code that the host does
// not run: a start is recorded in the event log and yields handles of a
// process that has already ended.
#include <sys/stat.h>

#include <windows.h>

#include <atomic>

#include "files_internal.h"
#include "handles.h"
#include "wince/host.h"

namespace wince {
namespace {

class ProcessObject : public KernelObject {
  public:
    // Waiting on a started program returns at once: it is not run here.
    DWORD wait(DWORD) override { return WAIT_OBJECT_0; }
};

std::atomic<DWORD> g_nextProcessId{0x1000};

}  // namespace
}  // namespace wince

BOOL WINAPI CreateProcessW(LPCWSTR pszImageName, LPWSTR pszCmdLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                           DWORD, LPVOID, LPWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION pProcInfo) {
    auto &board = wince::currentBoard();
    const nlohmann::json commandLine =
        pszCmdLine != nullptr ? nlohmann::json(wince::toUtf8(pszCmdLine)) : nlohmann::json(nullptr);
    const std::string program = pszImageName != nullptr ? wince::toUtf8(pszImageName) : std::string();

    DWORD error = ERROR_SUCCESS;
    if (const auto path = wince::boardPathArg(pszImageName); !path) {
        error = GetLastError();
    } else {
        const auto lookup = board::lookupBoardPath(board, *path);
        struct stat st = {};
        if (lookup.status != board::PathStatus::Found || ::stat(lookup.host.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            error = ERROR_FILE_NOT_FOUND;
    }
    if (error != ERROR_SUCCESS) {
        board.log().append(
            {{"event", "process_failed"}, {"image", program}, {"command_line", commandLine}, {"error", error}});
        SetLastError(error);
        return FALSE;
    }

    board.log().append({{"event", "process"}, {"image", program}, {"command_line", commandLine}});
    const DWORD id = wince::g_nextProcessId.fetch_add(4);
    auto process = std::make_shared<wince::ProcessObject>();
    if (pProcInfo != nullptr) {
        pProcInfo->hProcess = wince::newHandle(process);
        pProcInfo->hThread = wince::newHandle(process);
        pProcInfo->dwProcessId = id;
        pProcInfo->dwThreadId = id + 1;
    }
    return TRUE;
}
