// CreateProcessW with the board's meaning.
#include <windows.h>

#include <string>

#include "ce_desktop.h"

#undef CreateProcessW

BOOL WINAPI CeCreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                             LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                             LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                             LPPROCESS_INFORMATION processInformation) {
    if (application == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);  // the board needs the program's name
        return FALSE;
    }
    // The started program's runtime takes the first word as its own name and
    // passes on the rest: the arguments, exactly as the board would.
    std::wstring line = L"\"" + std::wstring(application) + L"\"";
    if (commandLine != nullptr && commandLine[0] != 0) line += L" " + std::wstring(commandLine);
    STARTUPINFOW defaults{};
    defaults.cb = sizeof defaults;
    return CreateProcessW(application, line.data(), processAttributes, threadAttributes, inheritHandles, flags,
                          environment, currentDirectory, startupInfo != nullptr ? startupInfo : &defaults,
                          processInformation);
}
