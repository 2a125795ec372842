// Device notifications from the board's volume table, read with the board's
// own code. A mounted volume is announced by the path the real file
// functions reach it by (its host folder, as a Windows path), since the
// board's own "\NAME" folders do not exist on this side. The change journal
// is followed on a thread.
#include <windows.h>

#include <msgqueue.h>
#include <pnp.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/volumes.h"
#include "desktop.h"
#include "queues.h"

namespace desktop {
namespace {

const GUID kFatfsMountGuid = {0x169E1941, 0x04CE, 0x4690, {0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC}};
constexpr size_t kNameOffset = offsetof(DEVDETAIL, szName);
static_assert(kNameOffset == 28, "the notification record's name lies at offset 28");

// The board's own failures end the program with their message.
template <typename F> auto guarded(F f) -> decltype(f()) {
    try {
        return f();
    } catch (const board::BoardError &e) {
        fail(e.what());
    }
}

class Subscription {
  public:
    Subscription(HANDLE queue, bool all) : queue_(queue) {
        const board::Board &board = BoardFolder::get().board();
        // The table and the journal's end come from one look under the
        // board's lock: no change falls between them.
        const board::VolumeSnapshot snapshot = guarded([&] { return board::volumeSnapshot(board); });
        if (all)
            for (const board::Volume &volume : snapshot.volumes) announce(volume.name, volume.hostDir.string(), true);
        thread_ = std::thread([this, offset = snapshot.journalEnd] { follow(offset); });
    }
    ~Subscription() {
        stopping_ = true;
        thread_.join();
    }

  private:
    void follow(uint64_t offset) {
        const board::Board &board = BoardFolder::get().board();
        while (!stopping_) {
            for (const board::VolumeChange &change :
                 guarded([&] { return board::volumeChangesSince(board, offset); })) {
                std::string hostDir;
                if (change.attached) {
                    const auto volume = guarded([&] { return board::findVolume(board, change.name); });
                    if (volume) hostDir = volume->hostDir.string();
                }
                announce(change.name, hostDir, change.attached);
            }
            Sleep(20);
        }
    }

    void announce(const std::string &name, const std::string &hostDir, bool attached) {
        std::wstring path;
        if (attached && !hostDir.empty()) {
            path = windowsPath(hostDir);
            known_[name] = path;
        } else if (known_.count(name) != 0) {
            path = known_[name];
        } else {
            path = L"\\" + toWide(name);
        }
        const size_t cbName = (path.size() + 1) * sizeof(WCHAR);
        DEVDETAIL head{};
        head.guidDevClass = kFatfsMountGuid;
        head.fAttached = attached ? TRUE : FALSE;
        head.cbName = static_cast<int>(cbName);
        std::vector<BYTE> record(reinterpret_cast<const BYTE *>(&head),
                                 reinterpret_cast<const BYTE *>(&head) + kNameOffset);
        const BYTE *nameBytes = reinterpret_cast<const BYTE *>(path.c_str());
        record.insert(record.end(), nameBytes, nameBytes + cbName);
        // A record longer than the queue's messages is cut to fit.
        const DWORD room = queueMessageSize(queue_);
        const bool cut = record.size() > room;
        if (cut) record.resize(room);
        const bool delivered = postToQueue(queue_, record.data(), static_cast<DWORD>(record.size()));
        nlohmann::json event = {{"event", "volume_announced"}, {"name", toUtf8(path)}, {"attached", attached}};
        if (cut) event["cut"] = true;
        if (!delivered) event["dropped"] = true;
        BoardFolder::get().log(event);
    }

    HANDLE queue_;
    std::map<std::string, std::wstring> known_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

std::mutex g_lock;
std::map<HANDLE, std::unique_ptr<Subscription>> g_subscriptions;

}  // namespace
}  // namespace desktop

using namespace desktop;

extern "C" HANDLE WINAPI RequestDeviceNotifications(LPCGUID devclass, HANDLE hMsgQ, BOOL fAll) {
    if (devclass == nullptr || queueMessageSize(hMsgQ) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The handle is an event object of its own, only to be a real handle.
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) return nullptr;
    std::unique_ptr<Subscription> subscription;
    // Only mounted FAT volumes are ever announced by the board.
    if (IsEqualGUID(*devclass, kFatfsMountGuid)) subscription = std::make_unique<Subscription>(hMsgQ, fAll != FALSE);
    std::lock_guard<std::mutex> guard(g_lock);
    g_subscriptions[handle] = std::move(subscription);
    return handle;
}

extern "C" BOOL WINAPI StopDeviceNotifications(HANDLE h) {
    std::unique_ptr<Subscription> subscription;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_subscriptions.find(h);
        if (it == g_subscriptions.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        subscription = std::move(it->second);
        g_subscriptions.erase(it);
    }
    subscription.reset();
    return CloseHandle(h);
}
