// Point-to-point message queues. A queue is created for reading or for
// writing; a second CreateMsgQueue of the same name in this process opens
// the other end. A read handle can be waited on and is signalled while
// messages wait. Waits on a queue fail once the board is stopped, which is
// how a program that waits for ever learns that the board goes down.
#include <signal.h>
#include <unistd.h>

#include <windows.h>
#include <msgqueue.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>

#include "board/volumes.h"
#include "handles.h"
#include "msgqueue_internal.h"
#include "wince/host.h"

namespace wince {

namespace {

std::atomic<int> g_terminate{0};

// The end of a run (SIGTERM, SIGINT) ends a waiting program as a board stop
// would, not in the middle of a copy. The signal may come twice (from the
// terminal and from `vboard run` passing it on); a third one ends the
// process at once, for a program that never gets back to a wait.
extern "C" void onTerminateSignal(int) {
    if (g_terminate.fetch_add(1) + 1 >= 3) ::_exit(130);
}

void catchTerminateSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : {SIGTERM, SIGINT}) {
            struct sigaction old = {};
            if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
            struct sigaction sa = {};
            sa.sa_handler = onTerminateSignal;
            sa.sa_flags = SA_RESTART;
            sigemptyset(&sa.sa_mask);
            ::sigaction(sig, &sa, nullptr);
        }
    });
}

// How often a wait looks whether the board has been stopped.
constexpr auto kStopPoll = std::chrono::milliseconds(20);

class QueueEnd : public KernelObject {
  public:
    QueueEnd(std::shared_ptr<MessageQueue> queue, bool reads) : queue_(std::move(queue)), reads_(reads) {}
    DWORD wait(DWORD ms) override {
        bool stopped = false;
        if (queue_->waitFor(reads_, ms, &stopped)) return WAIT_OBJECT_0;
        return stopped ? WAIT_FAILED : WAIT_TIMEOUT;
    }
    const std::shared_ptr<MessageQueue> &queue() const { return queue_; }
    bool reads() const { return reads_; }

  private:
    std::shared_ptr<MessageQueue> queue_;
    bool reads_;
};

std::mutex g_namesMutex;
std::map<std::u16string, std::weak_ptr<MessageQueue>> g_names;

}  // namespace

bool stopRequested() {
    if (g_terminate.load() > 0) return true;
    return booted() && board::stopRequested(currentBoard());
}

bool MessageQueue::ready(bool forReading) const {
    return forReading ? !messages_.empty() : (maxMessages_ == 0 || messages_.size() < maxMessages_);
}

bool MessageQueue::full() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !ready(false);
}

bool MessageQueue::post(const void *data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ready(false)) return false;
    const auto *bytes = static_cast<const uint8_t *>(data);
    messages_.emplace_back(bytes, bytes + size);
    changed_.notify_all();
    return true;
}

bool MessageQueue::take(std::vector<uint8_t> *message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (messages_.empty()) return false;
    *message = std::move(messages_.front());
    messages_.pop_front();
    changed_.notify_all();
    return true;
}

bool MessageQueue::waitFor(bool forReading, DWORD ms, bool *stopped) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // A stopped board ends the wait even with messages waiting.
        if (stopped != nullptr) {
            lock.unlock();
            *stopped = stopRequested();
            lock.lock();
            if (*stopped) return false;
        }
        if (ready(forReading)) return true;
        auto until = std::chrono::steady_clock::now() + kStopPoll;
        if (ms != INFINITE) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            if (deadline < until) until = deadline;
        }
        changed_.wait_until(lock, until);
    }
}

// A BOOL success is any value but 0; the board may answer a read with
// another one than 1 (/platform/read_msg_queue_result).
BOOL readSuccessResult() {
    if (!booted()) return TRUE;
    const auto ptr = nlohmann::json::json_pointer("/platform/read_msg_queue_result");
    const auto &settings = currentBoard().settings();
    if (!settings.contains(ptr)) return TRUE;
    const auto &v = settings.at(ptr);
    if (!v.is_number_integer() || v.get<int64_t>() == 0 || v.get<int64_t>() < INT32_MIN || v.get<int64_t>() > INT32_MAX)
        fatal("the board setting /platform/read_msg_queue_result must be a non-zero whole number that fits a BOOL");
    return static_cast<BOOL>(v.get<int64_t>());
}

std::shared_ptr<MessageQueue> queueOf(HANDLE handle) {
    auto end = objectAs<QueueEnd>(handle);
    return end ? end->queue() : nullptr;
}

}  // namespace wince

HANDLE WINAPI CreateMsgQueue(LPCWSTR lpName, LPMSGQUEUEOPTIONS lpOptions) {
    if (lpOptions == nullptr || lpOptions->dwSize < sizeof(MSGQUEUEOPTIONS) || lpOptions->cbMaxMessage == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    wince::catchTerminateSignals();
    std::shared_ptr<wince::MessageQueue> queue;
    bool existed = false;
    if (lpName == nullptr || lpName[0] == 0) {
        queue = std::make_shared<wince::MessageQueue>(lpOptions->dwMaxMessages, lpOptions->cbMaxMessage);
    } else {
        std::lock_guard<std::mutex> lock(wince::g_namesMutex);
        auto &slot = wince::g_names[std::u16string(lpName)];
        queue = slot.lock();
        existed = queue != nullptr;
        if (!queue) {
            queue = std::make_shared<wince::MessageQueue>(lpOptions->dwMaxMessages, lpOptions->cbMaxMessage);
            slot = queue;
        }
    }
    HANDLE h = wince::newHandle(std::make_shared<wince::QueueEnd>(queue, lpOptions->bReadAccess != FALSE));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL WINAPI ReadMsgQueue(HANDLE hMsgQ, LPVOID lpBuffer, DWORD cbBufferSize, LPDWORD lpNumberOfBytesRead,
                         DWORD dwTimeout, DWORD *pdwFlags) {
    auto end = wince::objectAs<wince::QueueEnd>(hMsgQ);
    if (!end) return FALSE;
    if (!end->reads()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (lpBuffer == nullptr || lpNumberOfBytesRead == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<uint8_t> message;
    if (!end->queue()->waitFor(true, dwTimeout, nullptr) || !end->queue()->take(&message)) {
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    if (pdwFlags != nullptr) *pdwFlags = 0;
    if (message.size() > cbBufferSize) {
        // The message is gone: left in the queue it would wake the reader
        // for ever without ever being readable.
        *lpNumberOfBytesRead = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!message.empty()) std::memcpy(lpBuffer, message.data(), message.size());
    *lpNumberOfBytesRead = static_cast<DWORD>(message.size());
    return wince::readSuccessResult();
}

BOOL WINAPI WriteMsgQueue(HANDLE hMsgQ, LPVOID lpBuffer, DWORD cbDataSize, DWORD dwTimeout, DWORD) {
    auto end = wince::objectAs<wince::QueueEnd>(hMsgQ);
    if (!end) return FALSE;
    if (end->reads()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if ((lpBuffer == nullptr && cbDataSize > 0) || cbDataSize > end->queue()->maxMessageSize()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!end->queue()->waitFor(false, dwTimeout, nullptr) || !end->queue()->post(lpBuffer, cbDataSize)) {
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CloseMsgQueue(HANDLE hMsgQ) {
    if (!wince::objectAs<wince::QueueEnd>(hMsgQ)) return FALSE;
    return wince::closeHandle(hMsgQ) ? TRUE : FALSE;
}
