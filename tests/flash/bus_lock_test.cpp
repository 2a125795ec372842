// The lock that makes each bus access whole among all processes and threads
// of a board: mutual exclusion, and a holder that died not blocking the rest.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "os.h"

namespace {

using board::os::SharedLock;

struct Page {
    SharedLock lock;
    volatile uint64_t counter;
};

Page *sharedPage() {
    void *p = ::mmap(nullptr, sizeof(Page), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(p, MAP_FAILED);
    auto *page = static_cast<Page *>(p);
    board::os::initSharedLock(page->lock);
    page->counter = 0;
    return page;
}

// Runs `work` in a child process that must end with exit code 0 within 30 s.
template <typename Work> void inChild(Work work) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(30);
        work();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed (signal " << WTERMSIG(status) << ")";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(BusLock, ThreadsOfTwoProcessesTakeTurns) {
    Page *page = sharedPage();
    constexpr int kEach = 100000;
    const auto hammer = [page] {
        for (int i = 0; i < kEach; ++i) {
            board::os::lockShared(page->lock);
            page->counter = page->counter + 1;
            board::os::unlockShared(page->lock);
        }
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::thread other(hammer);
        hammer();
        other.join();
        ::_exit(0);
    }
    std::thread other(hammer);
    hammer();
    other.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(page->counter, 4u * kEach);
    ::munmap(page, sizeof(Page));
}

// A program killed in the middle of a bus access leaves the lock taken; the
// next taker finds the holder gone, whether or not its parent has reaped it.
TEST(BusLock, AHolderThatDiedLeavesItToTheNextTaker) {
    for (bool reaped : {false, true}) {
        SCOPED_TRACE(reaped ? "reaped" : "a zombie");
        Page *page = sharedPage();
        const pid_t holder = ::fork();
        ASSERT_GE(holder, 0);
        if (holder == 0) {
            board::os::lockShared(page->lock);
            ::_exit(0);
        }
        siginfo_t info{};
        ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(holder), &info, WEXITED | (reaped ? 0 : WNOWAIT)), 0);
        inChild([page] {
            board::os::lockShared(page->lock);
            page->counter = 1;
            board::os::unlockShared(page->lock);
        });
        EXPECT_EQ(page->counter, 1u);
        if (!reaped) ::waitpid(holder, nullptr, 0);
        ::munmap(page, sizeof(Page));
    }
}

// A child forked while a thread of its parent holds the lock is a new
// holder-to-be, not the same thread: it waits for the parent, then takes it.
TEST(BusLock, AForkedChildWaitsForItsParentsHolder) {
    Page *page = sharedPage();
    board::os::lockShared(page->lock);  // makes this thread's number known before the fork
    board::os::unlockShared(page->lock);
    board::os::lockShared(page->lock);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(30);
        board::os::lockShared(page->lock);  // must wait, not throw "taken twice"
        page->counter = page->counter + 1;
        board::os::unlockShared(page->lock);
        ::_exit(0);
    }
    ::usleep(20000);
    EXPECT_EQ(page->counter, 0u) << "the child took a lock its parent held";
    board::os::unlockShared(page->lock);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(page->counter, 1u);
    ::munmap(page, sizeof(Page));
}

}  // namespace
