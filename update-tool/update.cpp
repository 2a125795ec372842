// The "Updating IMAGE" dialog and its worker: writes a Windows CE binary
// image (.bin) into the NOR flash.
//
// Before anything is erased the worker walks the whole file and refuses an
// image it could not write completely (a truncated file, a record outside the
// flash window, a record whose bytes the flash cannot take): a broken image
// must never wipe a working one. image_check.cpp decides; the host's image
// inspector runs the same code. Every chunk is read back after it is
// programmed.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <cderr.h>
#include <pkfuncs.h>
#include <string.h>

#include "flash.h"
#include "image_check.h"
#include "resource.h"
#include "update_tool.h"

#define FLASH_BASE        IMAGE_FLASH_BASE   // kernel address of the image flash
#define FLASH_WINDOW_SIZE IMAGE_WINDOW_SIZE  // 32 MB mapped by the worker
#define BLOCK_SIZE        IMAGE_BLOCK_SIZE   // one erase block of the device pair
#define SECTOR_COUNT      256
#define CHUNK_SIZE        16384
#define TEXT_CHARS        256

#define RESULT_FAILED 0
#define RESULT_DONE   1

WCHAR ImagePath[IMAGE_PATH_CHARS];
volatile LONG AbortRequested;
DWORD FlashBase;
DWORD ImageOffset;
DWORD SectorTable[SECTOR_COUNT];

// The records the check has seen, to find where they overlap.
static IMAGE_RECORD RecordTable[IMAGE_MAX_RECORDS];

// What one run of the worker holds; released in a fixed order at the end.
struct UpdateRun {
    HWND dialog;
    HANDLE mutex;
    BYTE *window;
    HANDLE file;
    DWORD imageStart;  // flash address
    DWORD imageLength;
};

static BOOL ReadExact(HANDLE file, void *buffer, DWORD size)
{
    DWORD got = 0;
    if (!ReadFile(file, buffer, size, &got, NULL))
        return FALSE;
    return got == size;
}

static DWORD ReadLe32(const BYTE *p)
{
    return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

static DWORD RangeMax(DWORD bytes)
{
    DWORD kb = bytes >> 10;
    return kb != 0 ? kb : 1;
}

static void SetProgressRange(HWND dialog, int id, DWORD bytes)
{
    SendMessageW(GetDlgItem(dialog, id), PBM_SETRANGE32, 0, (LPARAM)RangeMax(bytes));
}

static void SetProgressPos(HWND dialog, int id, DWORD bytes)
{
    SendMessageW(GetDlgItem(dialog, id), PBM_SETPOS, (WPARAM)(bytes >> 10), 0);
}

static DWORD TranslateAddress(DWORD address)
{
    return address != 0 ? address + ImageOffset : 0;
}

// Window address of a flash address inside the window.
static volatile DWORD *WindowAddress(const UpdateRun *run, DWORD flashAddress)
{
    return (volatile DWORD *)(run->window + (flashAddress - FlashBase));
}

static BOOL IsErasedByUpdate(const UpdateRun *run, DWORD blockAddress)
{
    return blockAddress - run->imageStart < run->imageLength;
}

static void ShowFailure(const UpdateRun *run, LPCWSTR text, LPCWSTR caption)
{
    MessageBoxW(run->dialog, text, caption, MB_OK);
}

// The check's view of the image file.
static DWORD ReadImageAt(void *context, DWORD offset, BYTE *buffer, DWORD size)
{
    UpdateRun *run = (UpdateRun *)context;
    LONG high = 0;
    DWORD got = 0;
    if (SetFilePointer(run->file, (LONG)offset, &high, FILE_BEGIN) != offset || high != 0)
        return 0;
    if (!ReadFile(run->file, buffer, size, &got, NULL))
        return 0;
    return got;
}

// The check's view of the flash, in read mode, before anything is erased.
static DWORD ReadOldFlash(void *context, DWORD flashAddress)
{
    return FlashReadWord(WindowAddress((UpdateRun *)context, flashAddress));
}

// Tells the user why the check refused the image.
static void ShowRefusal(const UpdateRun *run, DWORD verdict)
{
    if (verdict == IMAGE_NOT_BINARY)
        ShowFailure(run, TEXT("Not a WinCE Binary Image file!"), TEXT("ERRER"));
    else if (verdict == IMAGE_ENDS_EARLY)
        ShowFailure(run, TEXT("Unexpected end of file!"), TEXT("ERROR"));
    else
        ShowFailure(run, TEXT("Error writing to Flash!"), TEXT("ERROR"));
}

// Reads the signature and header. On success imageStart is translated.
static BOOL ReadImageHeader(UpdateRun *run, IMAGE_CHECK *check)
{
    DWORD verdict = CheckImageHeader(ReadImageAt, run, check);
    if (verdict != IMAGE_WRITABLE) {
        ShowRefusal(run, verdict);
        return FALSE;
    }
    run->imageStart = check->start;
    run->imageLength = check->length;
    ImageOffset = check->offset;
    return TRUE;
}

// Walks every record up to the terminating one without writing anything and
// tells the user about the first problem. Leaves the file positioned at the
// first record.
static BOOL CheckImage(UpdateRun *run, IMAGE_CHECK *check)
{
    DWORD high = 0;
    DWORD fileSize = GetFileSize(run->file, &high);
    DWORD verdict;

    if (fileSize == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        ShowFailure(run, TEXT("Unexpected end of file!"), TEXT("ERROR"));
        return FALSE;
    }
    // Offsets are 32-bit: whatever lies beyond 4 GB is not part of the image.
    if (high != 0)
        fileSize = 0xFFFFFFFF;
    FlashSetReadArray(WindowAddress(run, FlashBase));
    verdict =
        CheckImageRecords(ReadImageAt, ReadOldFlash, run, fileSize, RecordTable, IMAGE_MAX_RECORDS, check);
    if (verdict != IMAGE_WRITABLE) {
        ShowRefusal(run, verdict);
        return FALSE;
    }
    return SetFilePointer(run->file, IMAGE_HEADER_BYTES, NULL, FILE_BEGIN) == IMAGE_HEADER_BYTES;
}

static BOOL EraseImageRange(UpdateRun *run)
{
    WCHAR text[TEXT_CHARS];
    DWORD erased = 0;
    int i;

    SetProgressRange(run->dialog, IDC_STEP_PROGRESS, run->imageLength);
    SetProgressPos(run->dialog, IDC_STEP_PROGRESS, 0);
    for (i = 0; i < SECTOR_COUNT; i++) {
        DWORD sector = SectorTable[i];
        if (!IsErasedByUpdate(run, sector))
            continue;
        wsprintfW(text, TEXT("Erasing Flash Sector at %.8x"), sector);
        SetDlgItemTextW(run->dialog, IDC_STEP_TEXT, text);
        if (!FlashEraseBlock(WindowAddress(run, sector))) {
            ShowFailure(run, TEXT("Error Erasing Flash Sector"), TEXT("ERROR"));
            return FALSE;
        }
        erased += BLOCK_SIZE;
        SetProgressPos(run->dialog, IDC_STEP_PROGRESS, erased);
    }
    return TRUE;
}

// Compares what the devices hold with what was just programmed.
static BOOL ChunkWasWritten(UpdateRun *run, DWORD address, const BYTE *data, DWORD length)
{
    DWORD done;
    FlashSetReadArray(WindowAddress(run, address));
    for (done = 0; done < length; done += 4) {
        DWORD word = FlashReadWord(WindowAddress(run, address + done));
        DWORD count = length - done < 4 ? length - done : 4;
        DWORD i;
        for (i = 0; i < count; i++) {
            if ((BYTE)(word >> (8 * i)) != data[done + i])
                return FALSE;
        }
    }
    return TRUE;
}

// Writes the records; RESULT_DONE at the terminating record or on Abort.
static DWORD WriteRecords(UpdateRun *run)
{
    BYTE chunk[CHUNK_SIZE];
    WCHAR text[TEXT_CHARS];
    BYTE header[12];
    DWORD total = 0;

    SetProgressRange(run->dialog, IDC_TOTAL_PROGRESS, run->imageLength);
    SetProgressPos(run->dialog, IDC_TOTAL_PROGRESS, 0);
    if (AbortRequested)
        return RESULT_DONE;
    for (;;) {
        DWORD address;
        DWORD length;
        DWORD done = 0;
        if (!ReadExact(run->file, header, sizeof(header))) {
            ShowFailure(run, TEXT("Unexpected end of file!"), TEXT("ERROR"));
            return RESULT_FAILED;
        }
        address = TranslateAddress(ReadLe32(header));
        length = ReadLe32(header + 4);
        wsprintfW(text, TEXT("Section: %.8x  Len: %.8x(%d)"), address, length, (int)length);
        SetDlgItemTextW(run->dialog, IDC_STEP_TEXT, text);
        SetProgressRange(run->dialog, IDC_STEP_PROGRESS, length);
        SetProgressPos(run->dialog, IDC_STEP_PROGRESS, 0);
        if (address == 0)
            return RESULT_DONE;
        while (length != 0) {
            DWORD n = length < CHUNK_SIZE ? length : CHUNK_SIZE;
            if (AbortRequested)
                return RESULT_DONE;
            if (!ReadExact(run->file, chunk, n)) {
                ShowFailure(run, TEXT("Unexpected end of file!"), TEXT("ERROR"));
                return RESULT_FAILED;
            }
            if (!FlashProgram(chunk, WindowAddress(run, address), n) ||
                !ChunkWasWritten(run, address, chunk, n)) {
                ShowFailure(run, TEXT("Error writing to Flash!"), TEXT("ERROR"));
                return RESULT_FAILED;
            }
            done += n;
            SetProgressPos(run->dialog, IDC_STEP_PROGRESS, done);
            total += n;
            SetProgressPos(run->dialog, IDC_TOTAL_PROGRESS, total);
            address += n;
            length -= n;
        }
        if (AbortRequested)
            return RESULT_DONE;
    }
}

static DWORD UpdateImage(UpdateRun *run)
{
    WCHAR text[TEXT_CHARS];
    IMAGE_CHECK check;
    int i;

    run->file = CreateFileW(ImagePath, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (run->file == INVALID_HANDLE_VALUE) {
        ShowFailure(run, TEXT("Cannot Open Image File"), TEXT("ERROR"));
        return RESULT_FAILED;
    }
    if (!ReadImageHeader(run, &check))
        return RESULT_FAILED;
    wsprintfW(text, TEXT("Image: %.8x  Len: %.8x(%d)"), run->imageStart, run->imageLength,
              (int)run->imageLength);
    SetDlgItemTextW(run->dialog, IDC_IMAGE_TEXT, text);
    for (i = 0; i < SECTOR_COUNT; i++)
        SectorTable[i] = FlashBase + (DWORD)i * BLOCK_SIZE;
    if (!CheckImage(run, &check))
        return RESULT_FAILED;
    if (!EraseImageRange(run))
        return RESULT_FAILED;
    return WriteRecords(run);
}

static BOOL MapFlashWindow(UpdateRun *run)
{
    run->window = (BYTE *)VirtualAlloc(NULL, FLASH_WINDOW_SIZE, MEM_RESERVE, PAGE_NOACCESS);
    if (run->window == NULL)
        return FALSE;
    if (!VirtualCopy(run->window, (LPVOID)(UINT_PTR)FlashBase, FLASH_WINDOW_SIZE,
                     PAGE_READWRITE | PAGE_NOCACHE)) {
        VirtualFree(run->window, 0, MEM_RELEASE);
        run->window = NULL;
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI UpdateThread(LPVOID parameter)
{
    UpdateRun run;
    DWORD result = RESULT_FAILED;
    DWORD waited = WAIT_FAILED;

    run.dialog = (HWND)parameter;
    run.window = NULL;
    run.file = INVALID_HANDLE_VALUE;
    run.imageStart = 0;
    run.imageLength = 0;

    run.mutex = CreateMutexW(NULL, FALSE, TEXT("NorFlash"));
    if (run.mutex != NULL)
        waited = WaitForSingleObject(run.mutex, INFINITE);
    FlashBase = FLASH_BASE;
    // Without the lock or the mapping the flash is not touched at all.
    if ((waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) || !MapFlashWindow(&run))
        ShowFailure(&run, TEXT("Error writing to Flash!"), TEXT("ERROR"));
    else
        result = UpdateImage(&run);

    if (run.window != NULL)
        FlashSetReadArray((volatile DWORD *)run.window);
    if (run.mutex != NULL) {
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
            ReleaseMutex(run.mutex);
        CloseHandle(run.mutex);
    }
    if (run.window != NULL)
        VirtualFree(run.window, 0, MEM_RELEASE);
    if (run.file != INVALID_HANDLE_VALUE)
        CloseHandle(run.file);
    EndDialog(run.dialog, 0);
    return result;
}

BOOL CALLBACK UpdateDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    OPENFILENAME request;
    HANDLE worker;
    BOOL chosen;
    (void)lParam;

    switch (message) {
    case WM_INITDIALOG:
        memset(&request, 0, sizeof(request));
        request.lStructSize = sizeof(request);
        request.hwndOwner = dialog;
        request.lpstrFilter = TEXT("IMAGE files\0*.bin\0");
        request.nFilterIndex = 1;
        // ImagePath arrives empty, or pre-filled with the "/u" argument.
        request.lpstrFile = ImagePath;
        request.nMaxFile = IMAGE_PATH_CHARS;
        request.lpstrInitialDir = TEXT("\\");
        request.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
        chosen = GetOpenFileNameW(&request);
        // The dialog fails at once, showing nothing, for an initial name it
        // cannot take (a bad "/u" argument): ask again with an empty name, so
        // that the user still picks the image instead of the board simply
        // rebooting.
        if (!chosen && ImagePath[0] != 0 && CommDlgExtendedError() == FNERR_INVALIDFILENAME) {
            ImagePath[0] = 0;
            chosen = GetOpenFileNameW(&request);
        }
        if (!chosen) {
            EndDialog(dialog, 0);
            return FALSE;
        }
        AbortRequested = 0;
        worker = CreateThread(NULL, 0, UpdateThread, dialog, 0, NULL);
        if (worker == NULL) {
            MessageBoxW(dialog, TEXT("Error writing to Flash!"), TEXT("ERROR"), MB_OK);
            EndDialog(dialog, 0);
            return FALSE;
        }
        CloseHandle(worker);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL)
            AbortRequested = 1;
        return TRUE;
    }
    return FALSE;
}
