// The autorun agent: watches for mounted FAT volumes, copies each volume's
// AutoCopy tree into the device's own file system and starts the programs
// and shortcuts in its AutoRun folder.
#ifndef AUTORUN_H
#define AUTORUN_H

#include <windows.h>

// Kinds of RunAutoRun.
#define AUTORUN_EXECUTABLES 0
#define AUTORUN_SHORTCUTS   1

// A mount notification: the volume's path, UTF-16, lies at offset 28 of a
// message of at most 96 bytes.
#define MOUNT_MESSAGE_SIZE 96
#define MOUNT_NAME_OFFSET  28

extern const GUID FATFS_MOUNT_GUID;

// watcher.cpp
int WatchMounts(void);
void DrainMountQueue(HANDLE hQueue);

// actions.cpp
void AutoCopyVolume(LPCWSTR pszVolume);
void RunAutoRun(LPCWSTR pszVolume, int nKind);

#endif  // AUTORUN_H
