// Message queues inside the process. The handle is an event object that is
// set while the queue holds a message, so a program can wait on it.
#include <windows.h>

#include <msgqueue.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "queues.h"

namespace desktop {
namespace {

struct Queue {
    DWORD maxMessage = 0;
    DWORD maxMessages = 0;  // 0: no limit
    std::deque<std::vector<BYTE>> messages;
};

std::mutex g_lock;
std::map<HANDLE, std::shared_ptr<Queue>> g_queues;

std::shared_ptr<Queue> find(HANDLE handle) {
    auto it = g_queues.find(handle);
    return it == g_queues.end() ? nullptr : it->second;
}

}  // namespace

bool postToQueue(HANDLE handle, const void *data, DWORD size) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto queue = find(handle);
    if (queue == nullptr) return false;
    if (queue->maxMessages != 0 && queue->messages.size() >= queue->maxMessages) return false;
    const BYTE *bytes = static_cast<const BYTE *>(data);
    queue->messages.emplace_back(bytes, bytes + size);
    SetEvent(handle);
    return true;
}

DWORD queueMessageSize(HANDLE handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto queue = find(handle);
    return queue == nullptr ? 0 : queue->maxMessage;
}

}  // namespace desktop

using namespace desktop;

extern "C" HANDLE WINAPI CreateMsgQueue(LPCWSTR lpName, LPMSGQUEUEOPTIONS lpOptions) {
    // Only unnamed queues: the programs use no other kind.
    if (lpName != nullptr || lpOptions == nullptr || lpOptions->dwSize < sizeof(MSGQUEUEOPTIONS) ||
        lpOptions->cbMaxMessage == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    auto queue = std::make_shared<Queue>();
    queue->maxMessage = lpOptions->cbMaxMessage;
    queue->maxMessages = lpOptions->dwMaxMessages;
    std::lock_guard<std::mutex> guard(g_lock);
    g_queues[event] = queue;
    return event;
}

extern "C" BOOL WINAPI ReadMsgQueue(HANDLE hMsgQ, LPVOID lpBuffer, DWORD cbBufferSize, LPDWORD lpNumberOfBytesRead,
                                    DWORD dwTimeout, DWORD *pdwFlags) {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g_lock);
            auto queue = find(hMsgQ);
            if (queue == nullptr) {
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            if (!queue->messages.empty()) {
                std::vector<BYTE> message = std::move(queue->messages.front());
                queue->messages.pop_front();
                if (queue->messages.empty()) ResetEvent(hMsgQ);
                if (message.size() > cbBufferSize) {
                    SetLastError(ERROR_INSUFFICIENT_BUFFER);
                    return FALSE;
                }
                CopyMemory(lpBuffer, message.data(), message.size());
                if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(message.size());
                if (pdwFlags != nullptr) *pdwFlags = 0;
                return TRUE;
            }
        }
        // Another reader may take the message between the wake and the lock.
        if (WaitForSingleObject(hMsgQ, dwTimeout) != WAIT_OBJECT_0) {
            SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
    }
}

extern "C" BOOL WINAPI WriteMsgQueue(HANDLE hMsgQ, LPVOID lpBuffer, DWORD cbDataSize, DWORD, DWORD) {
    if (cbDataSize > queueMessageSize(hMsgQ)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!postToQueue(hMsgQ, lpBuffer, cbDataSize)) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CloseMsgQueue(HANDLE hMsgQ) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_queues.erase(hMsgQ) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    return CloseHandle(hMsgQ);
}
