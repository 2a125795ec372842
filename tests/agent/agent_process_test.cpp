// The agent as a process on a board, driven from outside by vboard, as a
// person would from another shell.
#include <signal.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "agent_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class AgentProcess : public AgentProcessOnBoard {
  protected:
    vtest::RunResult vboard(const std::vector<std::string> &args) { return vtest::run("vboard", args); }

    // Starts the agent, or `vboard run` with the agent, in the background,
    // and waits until it has booted.
    void start(bool throughVboard = false) {
        const size_t booted = board_.events("start").size();
        if (throughVboard)
            agent_ = std::async(std::launch::async, [d = dir()] {
                return vtest::run("vboard", {"run", d, "autorun-agent"}, {}, 60);
            });
        else
            agent_ = std::async(std::launch::async, [d = dir()] {
                return vtest::run("autorun-agent", {}, {{"VBOARD_DIR", d}}, 60);
            });
        ASSERT_TRUE(waitFor([&] { return board_.events("start").size() > booted; })) << "the agent did not boot";
    }

    // Ends the agent with a board stop and returns how it ended.
    vtest::RunResult stop() {
        EXPECT_EQ(vboard({"stop", dir()}).exitCode, 0);
        return finish();
    }
    vtest::RunResult finish() {
        if (agent_.wait_for(30s) != std::future_status::ready) return vtest::RunResult{-1, "", "still running"};
        return agent_.get();
    }

    size_t announced(const std::string &name, bool attached) const {
        size_t n = 0;
        for (auto &e : board_.events("volume_announced"))
            if (e["name"] == "\\" + name && e["attached"] == attached) ++n;
        return n;
    }
    // A card folder with a file to copy and a program named after it.
    fs::path card(const std::string &name) {
        const fs::path d = AgentProcessOnBoard::card(name);
        vtest::writeFile(d / "AutoRun" / (name + ".exe"), "MZ");
        vtest::writeFile(d / "AutoCopy" / (name + ".txt"), name);
        return d;
    }
    std::string exe(const std::string &name) const { return "\\" + name + "\\AutoRun\\" + name + ".exe"; }
};

TEST_F(AgentProcess, ACardInsertedBeforeStartIsHandledAfterThePause) {
    ASSERT_EQ(vboard({"mount", dir(), "Storage Card", card("Storage Card").string()}).exitCode, 0);
    start();
    ASSERT_TRUE(waitFor([&] { return !programs().empty(); }));
    const auto result = stop();
    EXPECT_EQ(result.exitCode, 0) << result.err;

    EXPECT_EQ(programs(), std::vector<std::string>{exe("Storage Card")});
    EXPECT_EQ(vtest::readFile(board_.files() / "Storage Card.txt"), "Storage Card");
    const auto begun = board_.events("start").at(0)["t_ms"].get<int64_t>();
    const auto said = board_.events("volume_announced").at(0)["t_ms"].get<int64_t>();
    const auto ran = board_.events("process").at(0)["t_ms"].get<int64_t>();
    EXPECT_LT(said - begun, 1500) << "announced when the agent subscribed";
    EXPECT_GE(ran - begun, 1500) << "handled once the 1500 ms pause was over";
    const auto exits = board_.events("exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0]["code"], 0);
}

TEST_F(AgentProcess, CardsFromAnotherShellRemovalsAndShift) {
    start();
    // Two cards one after the other: the first handled before the second.
    ASSERT_EQ(vboard({"mount", dir(), "CardA", card("CardA").string()}).exitCode, 0);
    ASSERT_EQ(vboard({"mount", dir(), "CardB", card("CardB").string()}).exitCode, 0);
    ASSERT_TRUE(waitFor([&] { return programs().size() == 2; }));
    EXPECT_EQ(programs(), (std::vector<std::string>{exe("CardA"), exe("CardB")}));

    // A removal is announced and handled, to no effect.
    ASSERT_EQ(vboard({"unmount", dir(), "CardA"}).exitCode, 0);
    ASSERT_TRUE(waitFor([&] { return announced("CardA", false) == 1; }));

    // A card that comes while Shift is held is passed over, also later.
    ASSERT_EQ(vboard({"key", dir(), "shift", "down"}).exitCode, 0);
    ASSERT_EQ(vboard({"mount", dir(), "Skipped", card("Skipped").string()}).exitCode, 0);
    ASSERT_TRUE(waitFor([&] { return announced("Skipped", true) == 1; }));
    std::this_thread::sleep_for(1s);  // the agent reads it while Shift is down
    ASSERT_EQ(vboard({"key", dir(), "shift", "up"}).exitCode, 0);
    ASSERT_EQ(vboard({"mount", dir(), "CardC", card("CardC").string()}).exitCode, 0);
    ASSERT_TRUE(waitFor([&] { return programs().size() == 3; }));

    const auto result = stop();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(programs(), (std::vector<std::string>{exe("CardA"), exe("CardB"), exe("CardC")}));
    EXPECT_FALSE(fs::exists(board_.files() / "Skipped.txt"));
    EXPECT_TRUE(fs::exists(board_.files() / "CardC.txt"));
}

TEST_F(AgentProcess, TheEndOfARunEndsTheAgentCleanly) {
    start();
    const int pid = board_.events("start").at(0)["pid"].get<int>();
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    const auto result = finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(board_.events("exit").size(), 1u);
}

TEST_F(AgentProcess, AStoppedBoardStartsAgain) {
    start();
    auto first = stop();
    EXPECT_EQ(first.exitCode, 0) << first.err;

    // A later run works as on a fresh board: it waits, and handles cards.
    ASSERT_EQ(vboard({"mount", dir(), "Again", card("Again").string()}).exitCode, 0);
    start(true);
    ASSERT_TRUE(waitFor([&] { return programs().size() == 1; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(agent_.wait_for(0s), std::future_status::timeout) << "the old stop does not end the new run";
    auto second = stop();
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(board_.events("exit").size(), 2u);
}

TEST_F(AgentProcess, VboardCommandsReportBadUse) {
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const std::string d = dir();
    fs::create_directories(board_.dir() / "card");
    const std::string cardDir = (board_.dir() / "card").string();
    const Case cases[] = {
        {{"mount", d, "X"}, 2},
        {{"mount", d, "X", (board_.dir() / "nothing").string()}, 1},
        {{"mount", d, "a\\b", cardDir}, 1},
        {{"mount", (board_.dir() / "noboard").string(), "X", cardDir}, 1},
        {{"unmount", d, "X"}, 1},
        {{"key", d, "shift"}, 2},
        {{"key", d, "hyper", "down"}, 2},
        {{"key", d, "shift", "sideways"}, 2},
        {{"stop"}, 2},
    };
    for (const auto &c : cases) {
        const auto r = vboard(c.args);
        std::string line;
        for (auto &a : c.args) line += a + " ";
        EXPECT_EQ(r.exitCode, c.code) << line << r.err;
        EXPECT_EQ(r.err.rfind("vboard: ", 0), 0u) << line << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
    }
    EXPECT_EQ(vboard({"mount", d, "Card", cardDir}).exitCode, 0);
    EXPECT_EQ(vboard({"mount", d, "CARD", cardDir}).exitCode, 1) << "already mounted";
    EXPECT_EQ(vboard({"unmount", d, "card"}).exitCode, 0);
}

}  // namespace
