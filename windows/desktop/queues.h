// What the notifications need of the message queues.
#pragma once

#include <windows.h>

namespace desktop {

// Posts one message; false when the handle is no queue or the queue is full.
bool postToQueue(HANDLE queue, const void *data, DWORD size);
// The queue's largest message, 0 when the handle is no queue.
DWORD queueMessageSize(HANDLE queue);

}  // namespace desktop
