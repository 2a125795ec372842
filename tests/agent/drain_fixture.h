// The agent's drain on a queue that the test writes notifications into.
#pragma once

#include <msgqueue.h>
#include <pnp.h>

#include <cstring>

#include "agent_fixture.h"

class DrainOnBoard : public AgentOnBoard {
  protected:
    void SetUp() override {
        AgentOnBoard::SetUp();
        openQueue();
    }
    void TearDown() override {
        closeQueue();
        AgentOnBoard::TearDown();
    }
    // Boots the platform again on the same board with these settings.
    void rebootWith(const nlohmann::json &settings) {
        closeQueue();
        wince::shutdown();
        board::Board::open(board_.dir())->saveSettings(settings);
        wince::boot(board_.dir(), nullptr, "autorun-agent");
        openQueue();
    }

    // A notification for "\NAME" as the platform writes it (a mount unless
    // `attached` is false), or cut or padded to `size` bytes: the name's NUL
    // is included unless the size cuts it off.
    void notify(const std::u16string &name, size_t size = 0, bool attached = true) {
        std::vector<uint8_t> m(28 + (name.size() + 1) * 2, 0);
        DEVDETAIL head = {};
        head.guidDevClass = FATFS_MOUNT_GUID;
        head.fAttached = attached;
        head.cbName = static_cast<int>((name.size() + 1) * 2);
        std::memcpy(m.data(), &head, 28);
        std::memcpy(m.data() + 28, name.c_str(), (name.size() + 1) * 2);
        if (size != 0) m.resize(size, 0);
        ASSERT_TRUE(WriteMsgQueue(writer_, m.data(), static_cast<DWORD>(m.size()), 0, 0));
    }
    // A card "\NAME" with one program to start.
    std::filesystem::path card(const std::string &name) {
        const auto dir = board_.dir() / ("card-" + name);
        put(dir / "AutoRun" / (name + ".exe"), "MZ");
        board::mountVolume(wince::currentBoard(), name, dir);
        return dir;
    }
    std::vector<std::string> programs() const {
        std::vector<std::string> out;
        for (auto &s : starts()) out.push_back(s.program);
        return out;
    }
    bool queueEmpty() { return WaitForSingleObject(reader_, 0) == WAIT_TIMEOUT; }

    HANDLE reader_ = nullptr;
    HANDLE writer_ = nullptr;

  private:
    void openQueue() {
        MSGQUEUEOPTIONS o = {sizeof(MSGQUEUEOPTIONS), 0, 0, 128, TRUE};
        reader_ = CreateMsgQueue(u"mounts", &o);
        o.bReadAccess = FALSE;
        writer_ = CreateMsgQueue(u"mounts", &o);
        ASSERT_NE(reader_, nullptr);
        ASSERT_NE(writer_, nullptr);
    }
    void closeQueue() {
        CloseMsgQueue(reader_);
        CloseMsgQueue(writer_);
    }
};
