// Threads: each CreateThread runs a host thread; its handle can be waited on
// until the thread has ended.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "handles.h"

namespace wince {
namespace {

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

class ThreadObject : public KernelObject {
  public:
    void finish(DWORD code) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        exitCode_ = code;
        cv_.notify_all();
    }
    DWORD wait(DWORD ms) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (ms == INFINITE) {
            cv_.wait(lock, [this] { return done_; });
            return WAIT_OBJECT_0;
        }
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; }) ? WAIT_OBJECT_0
                                                                                             : WAIT_TIMEOUT;
    }
    bool exitCode(DWORD *code) {
        std::lock_guard<std::mutex> lock(mutex_);
        *code = done_ ? exitCode_ : 0x103;  // STILL_ACTIVE
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    DWORD exitCode_ = 0;
};

struct ThreadExit {
    DWORD code;
};

}  // namespace
}  // namespace wince

DWORD WINAPI GetCurrentThreadId(void) {
    if (wince::t_threadId == 0) wince::t_threadId = wince::g_nextThreadId.fetch_add(1);
    return wince::t_threadId;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE lpStartAddr, LPVOID lpvThreadParam,
                           DWORD, LPDWORD lpIDThread) {
    if (lpStartAddr == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = std::make_shared<wince::ThreadObject>();
    const DWORD id = wince::g_nextThreadId.fetch_add(1);
    std::thread([object, lpStartAddr, lpvThreadParam, id] {
        wince::t_threadId = id;
        DWORD code = 0;
        try {
            code = lpStartAddr(lpvThreadParam);
        } catch (const wince::ThreadExit &e) {
            code = e.code;
        }
        object->finish(code);
    }).detach();
    if (lpIDThread != nullptr) *lpIDThread = id;
    return wince::newHandle(object);
}

void WINAPI ExitThread(DWORD dwExitCode) { throw wince::ThreadExit{dwExitCode}; }

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto t = wince::objectAs<wince::ThreadObject>(hThread);
    if (!t || lpExitCode == nullptr) return FALSE;
    return t->exitCode(lpExitCode) ? TRUE : FALSE;
}
