// A notification message of any 96 bytes handed to the agent, as the
// platform hands it one: through its message queue. The byte after the
// message, when there is one, holds Shift down. The agent must take any name
// the message carries (or none), whatever it is, and leave no handle open.
#include <windows.h>
#include <msgqueue.h>

#include <cstddef>
#include <cstdint>

#include "autorun.h"
#include "board/volumes.h"
#include "fuzz_support.h"
#include "handles.h"
#include "wince/host.h"

namespace {

struct Queue {
    HANDLE read = NULL, write = NULL;
    Queue() {
        const auto &dir = fuzz::board();
        // A card with something to copy and to run, should a message name it.
        const auto card = dir / "card";
        std::filesystem::create_directories(card / "AutoRun");
        std::filesystem::create_directories(card / "AutoCopy");
        fuzz::writeBytes(card / "AutoRun" / "tool.exe", reinterpret_cast<const uint8_t *>("MZ"), 2);
        fuzz::writeBytes(card / "AutoRun" / "go.lnk", reinterpret_cast<const uint8_t *>("9#tool.exe a"), 12);
        fuzz::writeBytes(card / "AutoCopy" / "copied.txt", reinterpret_cast<const uint8_t *>("x"), 1);
        wince::boot(dir, nullptr, "autorun-agent");
        board::mountVolume(wince::currentBoard(), "SD", card);
        MSGQUEUEOPTIONS options = {};
        options.dwSize = sizeof(options);
        options.cbMaxMessage = MOUNT_MESSAGE_SIZE;
        options.bReadAccess = TRUE;
        read = CreateMsgQueue(u"fuzz-mounts", &options);
        options.bReadAccess = FALSE;
        write = CreateMsgQueue(u"fuzz-mounts", &options);
        if (read == NULL || write == NULL) fuzz::finding("cannot make the message queue");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Queue queue;
    static unsigned count = 0;
    const size_t length = size < MOUNT_MESSAGE_SIZE ? size : MOUNT_MESSAGE_SIZE;
    const bool shift = size > MOUNT_MESSAGE_SIZE && (data[MOUNT_MESSAGE_SIZE] & 1) != 0;
    board::setKeyHeld(wince::currentBoard(), "shift", shift);
    // A message of exactly `length` bytes, so that a read past it is seen.
    std::vector<uint8_t> message(data, data + length);
    if (!WriteMsgQueue(queue.write, message.data(), static_cast<DWORD>(message.size()), 0, 0))
        return 0;  // the platform never delivers an empty message
    const size_t handles = wince::openHandleCount();
    DrainMountQueue(queue.read);
    if (wince::openHandleCount() != handles) fuzz::finding("a notification left a handle open");
    // The message was taken, with Shift or without.
    DWORD read = 0, flags = 0;
    uint8_t rest[MOUNT_MESSAGE_SIZE];
    if (ReadMsgQueue(queue.read, rest, sizeof(rest), &read, 0, &flags))
        fuzz::finding("a message was left in the queue");
    fuzz::trimEventLog(count);
    return 0;
}
