// Message queues, device notifications fed by the volume table, keys,
// process starts and the board's stop.
#include <msgqueue.h>
#include <pnp.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "board/volumes.h"
#include "board_fixture.h"
#include "handles.h"

namespace fs = std::filesystem;

namespace {

const GUID kMountGuid = {0x169E1941, 0x04CE, 0x4690, {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};

MSGQUEUEOPTIONS options(BOOL read, DWORD maxMessages = 0, DWORD maxSize = 96) {
    MSGQUEUEOPTIONS o = {};
    o.dwSize = sizeof o;
    o.dwMaxMessages = maxMessages;
    o.cbMaxMessage = maxSize;
    o.bReadAccess = read;
    return o;
}

class Queues : public OnBoard {
  protected:
    // Both ends of a named queue.
    void makePair(const char16_t *name, DWORD maxMessages = 0, DWORD maxSize = 96) {
        auto r = options(TRUE, maxMessages, maxSize), w = options(FALSE, maxMessages, maxSize);
        reader_ = CreateMsgQueue(name, &r);
        writer_ = CreateMsgQueue(name, &w);
        ASSERT_NE(reader_, nullptr);
        ASSERT_NE(writer_, nullptr);
    }
    void TearDown() override {
        if (reader_) CloseMsgQueue(reader_);
        if (writer_) CloseMsgQueue(writer_);
        OnBoard::TearDown();
    }
    bool write(const std::string &text, DWORD timeout = 0) {
        return WriteMsgQueue(writer_, const_cast<char *>(text.data()), static_cast<DWORD>(text.size()), timeout, 0);
    }
    std::string read(DWORD size = 96) {
        char buf[256];
        DWORD n = 0, flags = 0;
        if (!ReadMsgQueue(reader_, buf, size, &n, 0, &flags)) return "!" + std::to_string(GetLastError());
        return std::string(buf, n);
    }
    HANDLE reader_ = nullptr;
    HANDLE writer_ = nullptr;
};

TEST_F(Queues, MessagesInOrderAndTheHandleIsSignalledWhileOneWaits) {
    makePair(u"q");
    EXPECT_EQ(WaitForSingleObject(reader_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(write("one"));
    ASSERT_TRUE(write("two"));
    EXPECT_EQ(WaitForSingleObject(reader_, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(read(), "one");
    EXPECT_EQ(read(), "two");
    EXPECT_EQ(read(), "!" + std::to_string(ERROR_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(reader_, 10), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(Queues, AWaitWakesWhenAMessageArrives) {
    makePair(u"wake");
    auto waiter = std::async(std::launch::async, [this] { return WaitForSingleObject(reader_, INFINITE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(write("x"));
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(Queues, AMessageTooBigForTheBufferIsRemoved) {
    makePair(u"big");
    ASSERT_TRUE(write("0123456789"));
    ASSERT_TRUE(write("next"));
    EXPECT_EQ(read(4), "!" + std::to_string(ERROR_INSUFFICIENT_BUFFER));
    // Gone, not left to wake the reader for ever.
    EXPECT_EQ(read(), "next");
    EXPECT_EQ(WaitForSingleObject(reader_, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(Queues, LimitsAndAccess) {
    makePair(u"limits", 2, 8);
    EXPECT_FALSE(write("123456789")) << "longer than the queue's messages";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(write("a"));
    EXPECT_TRUE(write("b"));
    EXPECT_FALSE(write("c", 10)) << "the queue is full";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    char buf[8];
    EXPECT_FALSE(WriteMsgQueue(reader_, buf, 1, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    DWORD n = 0, flags = 0;
    EXPECT_FALSE(ReadMsgQueue(writer_, buf, sizeof buf, &n, 0, &flags));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    MSGQUEUEOPTIONS bad = options(TRUE);
    bad.dwSize = 4;
    EXPECT_EQ(CreateMsgQueue(nullptr, &bad), nullptr);
}

TEST_F(Queues, AStoppedBoardFailsTheWait) {
    makePair(u"stop");
    auto waiter = std::async(std::launch::async, [this] { return WaitForSingleObject(reader_, INFINITE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    board::requestStop(board());
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), WAIT_FAILED);
    // Messages do not hold a stopped board up.
    ASSERT_TRUE(write("late"));
    EXPECT_EQ(WaitForSingleObject(reader_, 0), WAIT_FAILED);

    // The next program to boot finds the board running again.
    CloseMsgQueue(reader_);
    CloseMsgQueue(writer_);
    reader_ = writer_ = nullptr;
    wince::shutdown();
    wince::boot(board_.dir(), nullptr, "test");
    makePair(u"stop2");
    EXPECT_EQ(WaitForSingleObject(reader_, 30), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(write("x"));
    EXPECT_EQ(WaitForSingleObject(reader_, 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

// A mount notification as read from the queue.
struct Notice {
    GUID guid;
    BOOL attached;
    int cbName;
    std::u16string name;  // up to the NUL or the message's end
    DWORD size;
};

class Notifications : public Queues {
  protected:
    void SetUp() override {
        Queues::SetUp();
        card_ = board_.dir() / "card";
        fs::create_directories(card_);
        auto o = options(TRUE);
        reader_ = CreateMsgQueue(nullptr, &o);
        ASSERT_NE(reader_, nullptr);
    }
    void TearDown() override {
        if (notify_) StopDeviceNotifications(notify_);
        Queues::TearDown();
    }
    // The next notice, waiting up to `ms` for one.
    std::optional<Notice> next(DWORD ms = 5000) {
        DWORD raw[24];
        DWORD n = 0, flags = 0;
        if (!ReadMsgQueue(reader_, raw, sizeof raw, &n, ms, &flags)) return std::nullopt;
        Notice out = {};
        const auto *detail = reinterpret_cast<const DEVDETAIL *>(raw);
        out.guid = detail->guidDevClass;
        out.attached = detail->fAttached;
        out.cbName = detail->cbName;
        out.size = n;
        const auto *name = reinterpret_cast<const char16_t *>(reinterpret_cast<const BYTE *>(raw) + 28);
        for (DWORD i = 0; 28 + 2 * (i + 1) <= n && name[i] != 0; ++i) out.name += name[i];
        return out;
    }
    fs::path card_;
    HANDLE notify_ = nullptr;
};

TEST_F(Notifications, MountedVolumesAreAnnouncedWithAll) {
    board::mountVolume(board(), "Storage Card", card_);
    notify_ = RequestDeviceNotifications(&kMountGuid, reader_, TRUE);
    ASSERT_NE(notify_, nullptr);
    auto notice = next(0);
    ASSERT_TRUE(notice);
    EXPECT_EQ(std::memcmp(&notice->guid, &kMountGuid, sizeof(GUID)), 0);
    EXPECT_EQ(notice->attached, TRUE);
    EXPECT_EQ(notice->name, u"\\Storage Card");
    EXPECT_EQ(notice->cbName, 28) << "the name's bytes with its NUL";
    EXPECT_EQ(notice->size, 28u + 28u);
    EXPECT_FALSE(next(0));

    const auto events = board_.events("volume_announced");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["name"], "\\Storage Card");
    EXPECT_EQ(events[0]["attached"], true);
}

TEST_F(Notifications, WithoutAllOnlyLaterChangesAreAnnounced) {
    board::mountVolume(board(), "Early", card_);
    notify_ = RequestDeviceNotifications(&kMountGuid, reader_, FALSE);
    ASSERT_NE(notify_, nullptr);
    EXPECT_FALSE(next(50));

    // Mounts and removals from elsewhere arrive in order.
    board::mountVolume(board(), "SD", card_);
    board::unmountVolume(board(), "Early");
    auto first = next();
    auto second = next();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->name, u"\\SD");
    EXPECT_EQ(first->attached, TRUE);
    EXPECT_EQ(second->name, u"\\Early");
    EXPECT_EQ(second->attached, FALSE);

    // After the subscription ends nothing more comes.
    EXPECT_TRUE(StopDeviceNotifications(notify_));
    notify_ = nullptr;
    board::unmountVolume(board(), "SD");
    EXPECT_FALSE(next(100));
}

TEST_F(Notifications, ANameTooLongForTheMessageIsCutToIt) {
    const std::string longName(40, 'L');
    board::mountVolume(board(), longName, card_);
    notify_ = RequestDeviceNotifications(&kMountGuid, reader_, TRUE);
    auto notice = next(0);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->size, 96u);
    EXPECT_EQ(notice->name, u"\\" + std::u16string(33, u'L')) << "34 characters fill the message, no NUL";
    EXPECT_EQ(notice->cbName, static_cast<int>((longName.size() + 2) * 2));
}

TEST_F(Notifications, OtherClassesStaySilent) {
    board::mountVolume(board(), "Storage Card", card_);
    GUID other = kMountGuid;
    other.Data1 ^= 1;
    notify_ = RequestDeviceNotifications(&other, reader_, TRUE);
    ASSERT_NE(notify_, nullptr);
    board::unmountVolume(board(), "Storage Card");
    EXPECT_FALSE(next(100));
    EXPECT_EQ(RequestDeviceNotifications(&kMountGuid, reinterpret_cast<HANDLE>(0x7777), TRUE), nullptr);
}

TEST_F(OnBoard, ShiftStateComesFromTheBoard) {
    EXPECT_EQ(GetAsyncKeyState(VK_SHIFT), 0);
    board::setKeyHeld(board(), "shift", true);
    EXPECT_NE(GetAsyncKeyState(VK_SHIFT) & 0xFFFF, 0);
    EXPECT_EQ(static_cast<unsigned short>(GetKeyState(VK_SHIFT)), 0x8000);
    EXPECT_EQ(GetAsyncKeyState(VK_CONTROL), 0);
    board::setKeyHeld(board(), "shift", false);
    EXPECT_EQ(GetAsyncKeyState(VK_SHIFT), 0);
    EXPECT_THROW(board::setKeyHeld(board(), "hyper", true), board::BoardError);
}

BOOL start(LPCWSTR program, LPWSTR args, PROCESS_INFORMATION *pi) {
    return CreateProcessW(program, args, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, pi);
}

TEST_F(OnBoard, ProcessStartsAreRecordedNotRun) {
    put(files() / "Windows" / "pword.exe", "MZ");
    const size_t handles = wince::openHandleCount();
    PROCESS_INFORMATION pi = {};
    WCHAR args[] = u"-x file";
    ASSERT_TRUE(start(u"\\windows\\PWORD.exe", args, &pi));
    EXPECT_NE(pi.hProcess, pi.hThread);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_EQ(wince::openHandleCount(), handles);
    ASSERT_TRUE(start(u"\\Windows\\pword.exe", nullptr, &pi));
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);

    // Not a file: nothing starts.
    EXPECT_FALSE(start(u"\\Windows\\none.exe", nullptr, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(start(u"\\Windows", nullptr, &pi));
    EXPECT_FALSE(start(u"", nullptr, &pi));

    const auto started = board_.events("process");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0]["image"], "\\windows\\PWORD.exe");
    EXPECT_EQ(started[0]["command_line"], "-x file");
    EXPECT_TRUE(started[1]["command_line"].is_null());
    EXPECT_EQ(board_.events("process_failed").size(), 3u);
}

}  // namespace
