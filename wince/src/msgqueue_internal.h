// Internals of the message queues, shared with the device notifications.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace wince {

// One queue; its handles are read ends or write ends of it.
class MessageQueue {
  public:
    MessageQueue(DWORD maxMessages, DWORD maxMessageSize) : maxMessages_(maxMessages), maxSize_(maxMessageSize) {}
    DWORD maxMessageSize() const { return maxSize_; }

    // Adds a message if there is room; the caller keeps to maxMessageSize.
    bool post(const void *data, size_t size);
    // Waits until a message waits (read end) or there is room (write end),
    // or the time runs out (false). With `stopped` given, a stop of the
    // board also ends the wait (false, *stopped set).
    bool waitFor(bool forReading, DWORD ms, bool *stopped);
    // Takes the oldest message, if any.
    bool take(std::vector<uint8_t> *message);
    bool full() const;

  private:
    bool ready(bool forReading) const;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<uint8_t>> messages_;
    DWORD maxMessages_;  // 0: no limit
    DWORD maxSize_;
};

// The queue behind a handle of either end, or null (error set).
std::shared_ptr<MessageQueue> queueOf(HANDLE handle);

// What ReadMsgQueue returns for a message read (TRUE unless the board says
// otherwise).
BOOL readSuccessResult();

// True once this program should end its waits: its board was stopped
// (`vboard stop`) or the process was told to end (SIGTERM, SIGINT).
bool stopRequested();

}  // namespace wince
