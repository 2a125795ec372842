// The platform's tick and sleep run on the board clock.
#include <windows.h>

#include <thread>

#include "wince/host.h"

DWORD WINAPI GetTickCount(void) { return wince::currentBoard().clock().tickMs(); }

void WINAPI Sleep(DWORD dwMilliseconds) {
    board::Clock &clock = wince::currentBoard().clock();
    clock.advanceNs(static_cast<uint64_t>(dwMilliseconds) * 1000000u);
    clock.keepPace();
    // Let the other threads run, as a real sleep would.
    std::this_thread::yield();
}
