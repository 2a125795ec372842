// Device notifications, fed by the board's volume table: a mount announces
// "\NAME" as attached, a removal as detached. A subscription follows the
// board's change journal on a thread of its own, so that `vboard mount` from
// another shell reaches a program that waits on its queue.
#include <windows.h>
#include <msgqueue.h>
#include <pnp.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "board/volumes.h"
#include "handles.h"
#include "msgqueue_internal.h"
#include "wince/host.h"

namespace wince {
namespace {

// The class of mounted FAT volumes, the only one the board announces.
const GUID kFatfsMountGuid = {0x169E1941, 0x04CE, 0x4690, {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};

constexpr size_t kNameOffset = offsetof(DEVDETAIL, szName);
static_assert(kNameOffset == 28, "the notification record's name lies at offset 28");

// How often a subscription looks for new mounts.
constexpr auto kJournalPoll = std::chrono::milliseconds(10);

// Posts one notification record and logs it. A record longer than the
// queue's messages is cut to fit, as into any fixed buffer: the name then
// loses its end and its NUL.
void announce(board::Board &board, MessageQueue &queue, const GUID &guid, const std::string &name, bool attached) {
    const std::u16string path = u"\\" + toUtf16(name);
    const size_t cbName = (path.size() + 1) * sizeof(char16_t);
    DEVDETAIL head = {};
    head.guidDevClass = guid;
    head.fAttached = attached ? TRUE : FALSE;
    head.cbName = static_cast<int>(cbName);
    const auto *headBytes = reinterpret_cast<const uint8_t *>(&head);
    const auto *nameBytes = reinterpret_cast<const uint8_t *>(path.c_str());
    std::vector<uint8_t> record(headBytes, headBytes + kNameOffset);
    record.insert(record.end(), nameBytes, nameBytes + cbName);
    const bool cut = record.size() > queue.maxMessageSize();
    if (cut) record.resize(queue.maxMessageSize());
    const bool delivered = queue.post(record.data(), record.size());

    nlohmann::json event = {{"event", "volume_announced"}, {"name", toUtf8(path)}, {"attached", attached}};
    if (cut) event["cut"] = true;
    if (!delivered) event["dropped"] = true;  // the queue was full
    board.log().append(event);
}

class Subscription : public KernelObject {
  public:
    Subscription(std::shared_ptr<MessageQueue> queue, const GUID &guid) : queue_(std::move(queue)), guid_(guid) {}
    ~Subscription() override { stop(); }
    void closed() override { stop(); }

    // Follows the board's change journal from `offset`. The thread works on
    // a board of its own, so it never depends on the program's.
    void follow(const std::filesystem::path &boardDir, uint64_t offset) {
        thread_ = std::thread([this, boardDir, offset] { run(boardDir, offset); });
    }

  private:
    void run(const std::filesystem::path &boardDir, uint64_t offset) {
        try {
            auto board = board::Board::open(boardDir);
            std::unique_lock<std::mutex> lock(mutex_);
            while (!stopping_) {
                lock.unlock();
                for (auto &change : board::volumeChangesSince(*board, offset))
                    announce(*board, *queue_, guid_, change.name, change.attached);
                lock.lock();
                stopped_.wait_for(lock, kJournalPoll, [this] { return stopping_; });
            }
        } catch (const std::exception &e) {
            std::fprintf(stderr, "%s: device notifications stopped: %s\n", messagePrefix(), e.what());
        }
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        stopped_.notify_all();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

    std::shared_ptr<MessageQueue> queue_;
    GUID guid_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
};

}  // namespace
}  // namespace wince

HANDLE WINAPI RequestDeviceNotifications(LPCGUID devclass, HANDLE hMsgQ, BOOL fAll) {
    if (devclass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto queue = wince::queueOf(hMsgQ);
    if (!queue) return nullptr;
    auto subscription = std::make_shared<wince::Subscription>(queue, *devclass);
    // Only mounted FAT volumes are ever announced; other classes subscribe
    // to silence.
    if (std::memcmp(devclass, &wince::kFatfsMountGuid, sizeof(GUID)) == 0) {
        auto &board = wince::currentBoard();
        const auto snapshot = board::volumeSnapshot(board);
        if (fAll)
            for (auto &volume : snapshot.volumes) wince::announce(board, *queue, *devclass, volume.name, true);
        subscription->follow(board.dir(), snapshot.journalEnd);
    }
    return wince::newHandle(subscription);
}

BOOL WINAPI StopDeviceNotifications(HANDLE h) {
    if (!wince::objectAs<wince::Subscription>(h)) return FALSE;
    return wince::closeHandle(h) ? TRUE : FALSE;
}
