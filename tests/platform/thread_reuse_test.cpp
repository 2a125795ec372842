// Program threads on reused host threads: a thread that ends leaves its host
// thread idle for the next one, and the next one starts as a new thread
// would, with nothing of the one before.
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform_fixture.h"

namespace {

using namespace std::chrono_literals;

class ThreadReuse : public ptest::BootedBoard {
  protected:
    void SetUp() override { boot(std::make_shared<ptest::TestOperator>()); }
};

// What a thread saw of itself.
struct Seen {
    std::thread::id host;
    DWORD id = 0;
    DWORD lastError = 0;
    DWORD dialogError = 0;
    DWORD mutexWait = 0;
    BOOL released = TRUE;
};

struct Job {
    HANDLE mutex = nullptr;  // taken by the first thread, never let go
    bool leaveState = false;
    Seen seen;
};

DWORD WINAPI Observe(LPVOID parameter) {
    auto *job = static_cast<Job *>(parameter);
    Seen &s = job->seen;
    s.host = std::this_thread::get_id();
    s.id = GetCurrentThreadId();
    s.lastError = GetLastError();
    s.dialogError = CommDlgExtendedError();
    if (job->leaveState) {
        // Leave behind everything a thread keeps: an owned mutex, a last
        // error and a file dialog error.
        s.mutexWait = WaitForSingleObject(job->mutex, 0);
        OPENFILENAMEW bad = {};
        bad.lStructSize = 3;
        GetOpenFileNameW(&bad);
        SetLastError(1234);
    } else {
        s.mutexWait = WaitForSingleObject(job->mutex, 0);
        s.released = ReleaseMutex(job->mutex);
    }
    return 5;
}

Seen runToEnd(Job &job, DWORD *reportedId = nullptr) {
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, Observe, &job, 0, &id);
    EXPECT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 5u);
    CloseHandle(thread);
    EXPECT_TRUE(wince::waitForProgramThreads(10s));
    if (reportedId != nullptr) *reportedId = id;
    return job.seen;
}

TEST_F(ThreadReuse, ANewThreadOnAReusedHostThreadKeepsNothingOfTheOneBefore) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    Job first{mutex, true, {}};
    const Seen a = runToEnd(first);
    EXPECT_EQ(a.mutexWait, static_cast<DWORD>(WAIT_OBJECT_0));

    // Every later thread: the first one's mutex stays its own, and none of
    // its state carries over, whichever host thread runs it.
    std::set<std::thread::id> hosts{a.host};
    std::set<DWORD> ids{a.id};
    for (int i = 0; i < 30; ++i) {
        SCOPED_TRACE(i);
        Job next{mutex, false, {}};
        DWORD reported = 0;
        const Seen b = runToEnd(next, &reported);
        EXPECT_EQ(b.id, reported) << "GetCurrentThreadId is not the id CreateThread gave";
        EXPECT_TRUE(ids.insert(b.id).second) << "a thread id came again";
        EXPECT_EQ(b.lastError, 0u);
        EXPECT_EQ(b.dialogError, 0u);
        EXPECT_EQ(b.mutexWait, static_cast<DWORD>(WAIT_TIMEOUT)) << "took a mutex an ended thread owns";
        EXPECT_FALSE(b.released) << "released a mutex an ended thread owns";
        hosts.insert(b.host);
    }
    // One after the other, they need no crowd of host threads.
    EXPECT_LE(hosts.size(), 5u);
    CloseHandle(mutex);
}

DWORD WINAPI ReturnSeven(LPVOID) { return 7; }

TEST_F(ThreadReuse, AForkedChildStartsThreadsOfItsOwn) {
    // Leave host threads idle here: none of them exists in the child.
    Job job{CreateMutexW(nullptr, FALSE, nullptr), false, {}};
    runToEnd(job);
    CloseHandle(job.mutex);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE thread = CreateThread(nullptr, 0, ReturnSeven, nullptr, 0, nullptr);
        DWORD code = 0;
        const bool ok = thread != nullptr && WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0 &&
                        GetExitCodeThread(thread, &code) && code == 7 && wince::waitForProgramThreads(5s);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's thread never ran";
}

struct Held {
    HANDLE go = nullptr;
    std::atomic<int> started{0};
    std::mutex mutex;
    std::set<DWORD> ids;
    std::set<std::thread::id> hosts;
};

DWORD WINAPI WaitForGo(LPVOID parameter) {
    auto *held = static_cast<Held *>(parameter);
    {
        std::lock_guard<std::mutex> lock(held->mutex);
        held->ids.insert(GetCurrentThreadId());
        held->hosts.insert(std::this_thread::get_id());
    }
    ++held->started;
    if (WaitForSingleObject(held->go, 10000) != WAIT_OBJECT_0) return 99;
    if (GetCurrentThreadId() % 2 == 0) ExitThread(20 + GetCurrentThreadId() % 7);
    return 10 + GetCurrentThreadId() % 7;
}

TEST_F(ThreadReuse, ThreadsThatAllWaitRunAtOnceAndEachEndsWithItsOwnCode) {
    const int before = vtest::processThreads();
    Held held;
    held.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    constexpr int kThreads = 12;  // more than the host threads kept idle
    std::vector<HANDLE> threads;
    std::vector<DWORD> ids;
    for (int i = 0; i < kThreads; ++i) {
        DWORD id = 0;
        threads.push_back(CreateThread(nullptr, 0, WaitForGo, &held, 0, &id));
        ASSERT_NE(threads.back(), nullptr);
        ids.push_back(id);
    }
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (held.started < kThreads && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(held.started.load(), kThreads) << "threads waited for a host thread of another";
    EXPECT_EQ(held.ids.size(), static_cast<size_t>(kThreads));
    EXPECT_EQ(held.hosts.size(), static_cast<size_t>(kThreads));

    // Still running: their handles are not signalled and report no code.
    for (HANDLE t : threads) {
        EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 0x103u);  // STILL_ACTIVE
    }
    EXPECT_FALSE(wince::waitForProgramThreads(20ms));

    SetEvent(held.go);
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(WaitForSingleObject(threads[static_cast<size_t>(i)], 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(threads[static_cast<size_t>(i)], &code));
        const DWORD id = ids[static_cast<size_t>(i)];
        EXPECT_EQ(code, id % 2 == 0 ? 20 + id % 7 : 10 + id % 7);
        CloseHandle(threads[static_cast<size_t>(i)]);
    }
    EXPECT_TRUE(wince::waitForProgramThreads(10s));
    CloseHandle(held.go);

    // Of the burst's host threads only a few stay, idle.
    const auto settle = std::chrono::steady_clock::now() + 10s;
    while (vtest::processThreads() > before + 4 && std::chrono::steady_clock::now() < settle)
        std::this_thread::sleep_for(1ms);
    EXPECT_LE(vtest::processThreads(), before + 4);
}

}  // namespace
