// Threads: each CreateThread runs on a host thread of its own (a new one, or
// one an ended thread left idle); its handle can be waited on until the
// thread has ended.
#include <pthread.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "handles.h"
#include "memory.h"
#include "threads_internal.h"
#include "wince/host.h"

namespace wince {
namespace {

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

// The host threads: each runs tasks one after the other, waiting idle in
// between. Idle threads beyond a few end, so that a burst of threads leaves
// no crowd behind. The pool is never destroyed: threads may still be busy
// (or idle, waiting on its lock) while the process ends.
class HostThreads {
  public:
    static HostThreads &instance() {
        static const int watch = ::pthread_atfork(nullptr, nullptr, [] {
            auto *mine = new HostThreads;
            mine->parents_ = current();  // kept, not destroyed: its lock may be held
            current() = mine;
        });
        (void)watch;
        return *current();
    }

    std::shared_ptr<TaskEnd> run(std::function<void()> task) {
        auto end = std::make_shared<TaskEnd>();
        Task item{std::move(task), end};
        std::unique_lock<std::mutex> lock(mutex_);
        ++running_;
        if (idle_ > 0) {
            --idle_;  // this one is spoken for: the task goes to it
            tasks_.push_back(std::move(item));
            lock.unlock();
            wake_.notify_one();
            return end;
        }
        lock.unlock();
        try {
            std::thread([this, first = std::move(item)]() mutable { serve(std::move(first)); }).detach();
        } catch (...) {
            lock.lock();
            --running_;
            ended_.notify_all();
            throw;
        }
        return end;
    }

    bool waitUntilNoneRunning(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return ended_.wait_for(lock, timeout, [this] { return running_ == 0; });
    }

  private:
    // A forked child has none of the parent's host threads (and the lock
    // may have been held at the fork): it starts a pool of its own.
    static HostThreads *&current() {
        static HostThreads *threads = new HostThreads;
        return threads;
    }

    struct Task {
        std::function<void()> run;
        std::shared_ptr<TaskEnd> end;
    };
    static constexpr size_t kMostIdle = 4;

    void serve(Task task) {
        for (;;) {
            task.run();
            // What the task held goes now, as it would with its thread.
            task.run = nullptr;
            forgetThreadState();
            std::shared_ptr<TaskEnd> end = std::move(task.end);
            end->mark();
            end.reset();
            std::unique_lock<std::mutex> lock(mutex_);
            --running_;
            ended_.notify_all();
            if (idle_ >= kMostIdle) return;
            ++idle_;
            wake_.wait(lock, [this] { return !tasks_.empty(); });
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;    // a task for an idle thread
    std::condition_variable ended_;   // a task ended
    std::deque<Task> tasks_;          // given to idle threads, not yet taken
    size_t idle_ = 0;                 // idle threads not spoken for
    size_t running_ = 0;              // tasks given and not ended
    HostThreads *parents_ = nullptr;  // the pool of the process this one was forked from
};

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

void TaskEnd::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return ended_; });
}

void TaskEnd::mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    cv_.notify_all();
}

std::shared_ptr<TaskEnd> runOnHostThread(std::function<void()> task) {
    return HostThreads::instance().run(std::move(task));
}

void forgetThreadState() {
    t_threadId = 0;
    forgetLastError();
    ui::forgetThreadQueue();
    forgetFileDialogError();
    t_lastBinding = LastBinding{};
}

bool waitForProgramThreads(std::chrono::milliseconds timeout) {
    return HostThreads::instance().waitUntilNoneRunning(timeout);
}

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
    try {
        wince::runOnHostThread([object, lpStartAddr, lpvThreadParam, id] {
            wince::t_threadId = id;
            DWORD code = 0;
            try {
                code = lpStartAddr(lpvThreadParam);
            } catch (const wince::ThreadExit &e) {
                code = e.code;
            }
            object->finish(code);
        });
    } catch (const std::system_error &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpIDThread != nullptr) *lpIDThread = id;
    return wince::newHandle(object);
}

void WINAPI ExitThread(DWORD dwExitCode) { throw wince::ThreadExit{dwExitCode}; }

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto t = wince::objectAs<wince::ThreadObject>(hThread);
    if (!t || lpExitCode == nullptr) return FALSE;
    return t->exitCode(lpExitCode) ? TRUE : FALSE;
}
