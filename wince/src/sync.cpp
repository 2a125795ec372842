// Mutexes and events. A named mutex is shared by every process running on
// the same board: ownership across processes is an open-file-description lock
// on a file in the board's objects folder, which the host releases by itself
// when a process dies (the platform's abandoned mutex).
#include <fcntl.h>
#include <unistd.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "handles.h"
#include "wince/host.h"

namespace wince {
namespace {

class MutexObject : public KernelObject {
  public:
    MutexObject(int lockFd, std::u16string name) : fd_(lockFd), name_(std::move(name)) {}
    ~MutexObject() override {
        if (fd_ >= 0) ::close(fd_);
    }

    DWORD wait(DWORD ms) override {
        const DWORD me = GetCurrentThreadId();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::unique_lock<std::mutex> lock(mutex_);
        if (owner_ == me) {
            ++count_;
            return WAIT_OBJECT_0;
        }
        // First win the mutex among this process's threads...
        auto free = [this] { return count_ == 0; };
        if (ms == INFINITE) {
            cv_.wait(lock, free);
        } else if (!cv_.wait_until(lock, deadline, free)) {
            return WAIT_TIMEOUT;
        }
        // ...then among the board's processes.
        if (fd_ >= 0 && !lockFile(ms, deadline)) return WAIT_TIMEOUT;
        owner_ = me;
        count_ = 1;
        return WAIT_OBJECT_0;
    }

    bool release() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (owner_ != GetCurrentThreadId() || count_ == 0) return false;
        if (--count_ == 0) {
            owner_ = 0;
            if (fd_ >= 0) {
                // The board's log keeps when each named mutex was let go, on
                // the board clock that the flash's bus trace also uses, so the
                // order of a release and the bus accesses around it shows.
                auto &board = currentBoard();
                board.log().append(
                    {{"event", "mutex_release"}, {"name", toUtf8(name_)}, {"t_ns", board.clock().nowNs()}});
                setLock(F_UNLCK, F_OFD_SETLK);
            }
            cv_.notify_one();
        }
        return true;
    }

  private:
    bool setLock(short type, int cmd) {
        struct flock fl = {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        return ::fcntl(fd_, cmd, &fl) == 0;
    }
    bool lockFile(DWORD ms, std::chrono::steady_clock::time_point deadline) {
        if (ms == INFINITE) {
            while (!setLock(F_WRLCK, F_OFD_SETLKW)) {
                if (errno != EINTR) boardFailed("cannot lock a named mutex of the board");
            }
            return true;
        }
        while (!setLock(F_WRLCK, F_OFD_SETLK)) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    int fd_;
    std::u16string name_;
    std::mutex mutex_;
    std::condition_variable cv_;
    DWORD owner_ = 0;
    unsigned count_ = 0;
};

class EventObject : public KernelObject {
  public:
    EventObject(bool manual, bool state) : manual_(manual), state_(state) {}
    DWORD wait(DWORD ms) override {
        std::unique_lock<std::mutex> lock(mutex_);
        auto set = [this] { return state_; };
        if (ms == INFINITE) cv_.wait(lock, set);
        else if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), set)) return WAIT_TIMEOUT;
        if (!manual_) state_ = false;
        return WAIT_OBJECT_0;
    }
    void set(bool state) {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = state;
        if (state) cv_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool manual_;
    bool state_;
};

// Named objects of this process, so that two handles of one name are one
// object, as on the platform.
std::mutex g_namesMutex;
std::map<std::u16string, std::weak_ptr<KernelObject>> g_names;

std::string lockFileName(const std::u16string &name) {
    std::string out;
    for (char c : toUtf8(name)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.' || static_cast<unsigned char>(c) >= 0x80;
        out += plain ? c : '_';
    }
    return "mutex-" + out + ".lock";
}

}  // namespace
}  // namespace wince

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    std::shared_ptr<wince::MutexObject> mutex;
    bool existed = false;
    if (lpName == nullptr || lpName[0] == 0) {
        mutex = std::make_shared<wince::MutexObject>(-1, std::u16string());
    } else {
        const std::u16string name(lpName);
        std::lock_guard<std::mutex> lock(wince::g_namesMutex);
        auto &slot = wince::g_names[name];
        mutex = std::dynamic_pointer_cast<wince::MutexObject>(slot.lock());
        existed = mutex != nullptr;
        if (!mutex) {
            const auto file = wince::currentBoard().objectsDir() / wince::lockFileName(name);
            const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            mutex = std::make_shared<wince::MutexObject>(fd, name);
            slot = mutex;
        }
    }
    if (bInitialOwner && !existed) mutex->wait(INFINITE);
    HANDLE h = wince::newHandle(mutex);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto mutex = wince::objectAs<wince::MutexObject>(hMutex);
    if (!mutex) return FALSE;
    if (!mutex->release()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR) {
    return wince::newHandle(std::make_shared<wince::EventObject>(bManualReset != 0, bInitialState != 0));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto e = wince::objectAs<wince::EventObject>(hEvent);
    if (!e) return FALSE;
    e->set(true);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto e = wince::objectAs<wince::EventObject>(hEvent);
    if (!e) return FALSE;
    e->set(false);
    return TRUE;
}
