// The BSP version report: the bootloader's version text from the boot flash,
// the board identifier and BSP version from the adaptation layer, and the
// build time of the running image, in one message box.
#include <windows.h>
#include <pkfuncs.h>

#include "update_tool.h"

#define IOCTL_OEM_BOARD_INFO CTL_CODE(FILE_DEVICE_HAL, 2051, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define BOOT_FLASH_PHYSICAL 0x00000000
#define BOOT_FLASH_SIZE     0x20000  // the first 128 KB hold the bootloader
#define VERSION_TEXT_SIZE   256      // bytes, with the NUL
#define TIME_TEXT_CHARS     64
#define REPORT_CHARS        256

#define BOARD_ID_VORELLI 1

#define REPORT_FORMAT \
    TEXT("Bootloader:\t%S\r\n\r\nBSP ID:\t%s\r\nBSP Version:\t%d.%d\r\n\r\nIMAGE built:\t%s %s (GMT)")

static const char BootloaderMarker[] = "Microsoft Windows CE Ethernet Bootloader ";
#define MARKER_LENGTH (sizeof(BootloaderMarker) - 1)

typedef struct {
    DWORD BoardId;
    DWORD MajorVersion;
    DWORD MinorVersion;
} BOARD_INFO;

static void InitVersionText(char *version)
{
    static const char unknown[] = "UNKNOWN";
    DWORD i;

    for (i = 0; i < VERSION_TEXT_SIZE; i++)
        version[i] = i < sizeof(unknown) ? unknown[i] : 0;
}

// Searches the view for the marker and copies the text behind it. The text
// is cut at the version buffer's end and at the view's end; a marker that
// ends at the view's last byte leaves its text unread and "UNKNOWN" stays.
static void FindBootloaderVersion(const BYTE *view, DWORD viewSize, char *version)
{
    DWORD matched = 0;
    DWORD offset;
    DWORD start;
    DWORD length;

    for (offset = 0; offset < viewSize; offset++) {
        if (view[offset] == (BYTE)BootloaderMarker[matched])
            matched++;
        else
            matched = view[offset] == (BYTE)BootloaderMarker[0] ? 1 : 0;
        if (matched == MARKER_LENGTH)
            break;
    }
    if (matched != MARKER_LENGTH)
        return;

    start = offset + 1;
    if (start >= viewSize)
        return;
    length = 0;
    while (length < VERSION_TEXT_SIZE - 1 && start + length < viewSize && view[start + length] != 0) {
        version[length] = (char)view[start + length];
        length++;
    }
    version[length] = 0;
}

static void ReadBootloaderVersion(char *version)
{
    HANDLE mutex;
    DWORD waited = WAIT_FAILED;
    LPVOID view;

    mutex = CreateMutexW(NULL, FALSE, TEXT("NorFlash"));
    if (mutex != NULL)
        waited = WaitForSingleObject(mutex, INFINITE);
    // Without the lock an update may have the devices out of read mode:
    // the flash is then not looked at.
    view = NULL;
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        view = VirtualAlloc(NULL, BOOT_FLASH_SIZE, MEM_RESERVE, PAGE_NOACCESS);
        if (view != NULL) {
            if (VirtualCopy(view, (LPVOID)(BOOT_FLASH_PHYSICAL >> 8), BOOT_FLASH_SIZE,
                            PAGE_READWRITE | PAGE_NOCACHE | PAGE_PHYSICAL))
                FindBootloaderVersion((const BYTE *)view, BOOT_FLASH_SIZE, version);
        }
        ReleaseMutex(mutex);
    }
    if (mutex != NULL)
        CloseHandle(mutex);
    if (view != NULL)
        VirtualFree(view, 0, MEM_RELEASE);
}

// The creation time of the image's own file stands for its build time; it
// is shown as kept, in UTC.
static BOOL ReadImageBuildTime(SYSTEMTIME *builtAt)
{
    HANDLE file;
    FILETIME created;
    BOOL ok;

    file = CreateFileW(TEXT("\\windows\\default.fdf"), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    ok = GetFileTime(file, &created, NULL, NULL);
    CloseHandle(file);
    return ok && FileTimeToSystemTime(&created, builtAt);
}

void ShowBspVersion(HWND owner)
{
    char version[VERSION_TEXT_SIZE];
    BOARD_INFO info;
    SYSTEMTIME builtAt;
    BOOL haveTime;
    WCHAR dateText[TIME_TEXT_CHARS];
    WCHAR timeText[TIME_TEXT_CHARS];
    WCHAR report[REPORT_CHARS];
    LPCWSTR boardName;
    int others;
    int room;

    InitVersionText(version);
    ReadBootloaderVersion(version);

    if (!KernelIoControl(IOCTL_OEM_BOARD_INFO, NULL, 0, &info, sizeof(info), NULL)) {
        info.BoardId = 0;
        info.MajorVersion = 0;
        info.MinorVersion = 0;
    }
    boardName = info.BoardId == BOARD_ID_VORELLI ? TEXT("VORELLI") : TEXT("UNKNOWN");

    haveTime = ReadImageBuildTime(&builtAt);
    if (!haveTime || GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &builtAt, TEXT("dd MMM yyyy"), dateText,
                                    TIME_TEXT_CHARS) == 0)
        lstrcpyW(dateText, TEXT("UNKNOWN"));
    if (!haveTime || GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, LOCALE_NOUSEROVERRIDE | TIME_FORCE24HOURFORMAT,
                                    &builtAt, NULL, timeText, TIME_TEXT_CHARS) == 0)
        lstrcpyW(timeText, TEXT("UNKNOWN"));

    // The report holds REPORT_CHARS - 1 characters: a version text too long
    // for the rest is cut so that the other lines stay whole.
    others = _snwprintf(report, REPORT_CHARS - 1, REPORT_FORMAT, "", boardName, (int)info.MajorVersion,
                        (int)info.MinorVersion, dateText, timeText);
    room = others < 0 ? 0 : REPORT_CHARS - 1 - others;
    if (room < VERSION_TEXT_SIZE - 1)
        version[room] = 0;
    _snwprintf(report, REPORT_CHARS - 1, REPORT_FORMAT, version, boardName, (int)info.MajorVersion,
               (int)info.MinorVersion, dateText, timeText);
    report[REPORT_CHARS - 1] = 0;

    MessageBoxW(owner, report, TEXT("BSP Verison"), MB_OK);
}
