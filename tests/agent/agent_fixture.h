// A temporary board with a card mounted as "\Storage Card", the platform
// booted on it, and the starts the board recorded.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "autorun.h"
#include "board/volumes.h"
#include "test_support.h"
#include "wince/host.h"

// One start the agent asked for: the program and its command line ("<none>"
// when it had none), and whether the board found the program.
struct Start {
    std::string program;
    std::string commandLine;
    bool found = false;
    bool operator==(const Start &o) const {
        return program == o.program && commandLine == o.commandLine && found == o.found;
    }
};

inline std::ostream &operator<<(std::ostream &os, const Start &s) {
    return os << "{" << s.program << " | " << s.commandLine << (s.found ? "" : " | not found") << "}";
}

inline std::vector<Start> startsOf(const std::vector<nlohmann::json> &events) {
    std::vector<Start> out;
    for (const auto &e : events) {
        const std::string kind = e.value("event", "");
        if (kind != "process" && kind != "process_failed") continue;
        const nlohmann::json cmd = e.contains("command_line") ? e["command_line"] : nlohmann::json();
        out.push_back(
            Start{e.value("image", ""), cmd.is_null() ? "<none>" : cmd.get<std::string>(), kind == "process"});
    }
    return out;
}

class AgentOnBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        card_ = board_.dir() / "card";
        std::filesystem::create_directories(card_);
        wince::boot(board_.dir(), nullptr, "autorun-agent");
        board::mountVolume(wince::currentBoard(), "Storage Card", card_);
    }
    void TearDown() override { wince::shutdown(); }

    static void put(const std::filesystem::path &file, const std::string &bytes) {
        std::filesystem::create_directories(file.parent_path());
        vtest::writeFile(file, bytes);
    }
    std::filesystem::path files() const { return board_.files(); }
    std::vector<Start> starts() const { return startsOf(board_.events()); }

    vtest::TempBoard board_;
    std::filesystem::path card_;
};

// The agent as a process on a board, driven from outside by vboard. No
// agent is left behind, whatever failed.
class AgentProcessOnBoard : public ::testing::Test {
  protected:
    void TearDown() override {
        if (agent_.valid()) {
            vtest::run("vboard", {"stop", dir()});
            agent_.wait_for(std::chrono::seconds(30));
        }
    }
    std::string dir() const { return board_.dir().string(); }

    static bool waitFor(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    std::vector<std::string> programs() const {
        std::vector<std::string> out;
        for (auto &s : startsOf(board_.events())) out.push_back(s.program);
        return out;
    }
    // A card folder with its AutoRun and AutoCopy folders, empty.
    std::filesystem::path card(const std::string &name) {
        const std::filesystem::path d = board_.dir() / ("card-" + name);
        std::filesystem::create_directories(d / "AutoRun");
        std::filesystem::create_directories(d / "AutoCopy");
        return d;
    }

    vtest::TempBoard board_;
    std::future<vtest::RunResult> agent_;
};
