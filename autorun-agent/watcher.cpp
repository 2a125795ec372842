// Mount watcher: the agent's entry and its only loop. It subscribes to the
// notifications for mounted FAT volumes and hands each volume's path to the
// actions, one notification at a time.
#include <windows.h>
#include <msgqueue.h>
#include <pnp.h>

#include "autorun.h"

// {169E1941-04CE-4690-97AC-776187EB67CC}
const GUID FATFS_MOUNT_GUID = {0x169E1941, 0x04CE, 0x4690, {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};

// Room for the longest name a message can carry with its NUL.
#define MOUNT_NAME_CHARS ((MOUNT_MESSAGE_SIZE - MOUNT_NAME_OFFSET) / sizeof(WCHAR))

// Copies the volume path out of a message of cbMessage bytes. A name that
// does not end with a NUL inside the message is not a volume path (cut short,
// it could name another volume): FALSE, and nothing is copied.
static BOOL GetMountName(const BYTE *pMessage, DWORD cbMessage, LPWSTR pszName)
{
    const WCHAR *pch = (const WCHAR *)(pMessage + MOUNT_NAME_OFFSET);
    DWORD cchMax = 0;
    DWORD i;

    if (cbMessage > MOUNT_MESSAGE_SIZE) {
        cbMessage = MOUNT_MESSAGE_SIZE;
    }
    if (cbMessage > MOUNT_NAME_OFFSET) {
        cchMax = (cbMessage - MOUNT_NAME_OFFSET) / sizeof(WCHAR);
    }
    for (i = 0; i < cchMax && pch[i] != 0; i++) {
    }
    if (i == cchMax) {
        pszName[0] = 0;
        return FALSE;
    }
    for (i = 0; pch[i] != 0; i++) {
        pszName[i] = pch[i];
    }
    pszName[i] = 0;
    return TRUE;
}

void DrainMountQueue(HANDLE hQueue)
{
    DWORD Message[MOUNT_MESSAGE_SIZE / sizeof(DWORD)];  // DWORDs keep the name aligned
    WCHAR szVolume[MOUNT_NAME_CHARS + 1];
    DWORD cbRead;
    DWORD dwFlags;

    for (;;) {
        cbRead = 0;
        if (ReadMsgQueue(hQueue, Message, sizeof(Message), &cbRead, 1, &dwFlags) != TRUE) {
            return;
        }

        // Shift held: this card is passed over for good.
        if ((GetAsyncKeyState(VK_SHIFT) & 0xFFFF) != 0) {
            return;
        }

        if (!GetMountName((const BYTE *)Message, cbRead, szVolume) || szVolume[0] == 0) {
            continue;  // no volume named: nothing to do
        }

        AutoCopyVolume(szVolume);
        RunAutoRun(szVolume, AUTORUN_EXECUTABLES);
        RunAutoRun(szVolume, AUTORUN_SHORTCUTS);
    }
}

int WatchMounts(void)
{
    MSGQUEUEOPTIONS Options;
    HANDLE hQueue;
    HANDLE hNotify;

    Options.dwSize = sizeof(Options);
    Options.dwFlags = 0;
    Options.dwMaxMessages = 0;
    Options.cbMaxMessage = MOUNT_MESSAGE_SIZE;
    Options.bReadAccess = TRUE;

    hQueue = CreateMsgQueue(NULL, &Options);
    if (hQueue == NULL) {
        return 0;
    }

    // fAll: volumes mounted before we got here are announced too.
    hNotify = RequestDeviceNotifications(&FATFS_MOUNT_GUID, hQueue, TRUE);

    // Let the system settle after start-up before touching any card.
    Sleep(1500);

    while (WaitForSingleObject(hQueue, INFINITE) == WAIT_OBJECT_0) {
        DrainMountQueue(hQueue);
    }

    StopDeviceNotifications(hNotify);
    CloseMsgQueue(hQueue);
    return 0;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow)
{
    (void)hInstance;
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nCmdShow;
    return WatchMounts();
}
