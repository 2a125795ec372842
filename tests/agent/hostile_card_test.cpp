// Cards whose host folders hold what no FAT volume can (folder links that
// loop, FIFOs, devices) must not hang the agent: it handles the card after
// each of them within a few seconds. The agent runs as a process and is
// ended by a board stop.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "agent_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class HostileCards : public AgentProcessOnBoard {
  protected:
    void mount(const std::string &name, const fs::path &folder) {
        ASSERT_EQ(vtest::run("vboard", {"mount", dir(), name, folder.string()}).exitCode, 0);
    }
};

struct Hostile {
    const char *what;
    std::function<void(const fs::path &card)> make;
};

TEST_F(HostileCards, TheNextCardIsHandledWithinSeconds) {
    const Hostile cases[] = {
        {"two folder links in AutoCopy",
         [](const fs::path &c) {
             fs::create_symlink(".", c / "AutoCopy" / "a");
             fs::create_symlink(".", c / "AutoCopy" / "b");
             vtest::writeFile(c / "AutoCopy" / "real.txt", "real");
         }},
        {"a link to the card's root in AutoRun",
         [](const fs::path &c) { fs::create_symlink("..", c / "AutoRun" / "up.exe"); }},
        {"a FIFO under AutoCopy",
         [](const fs::path &c) { ASSERT_EQ(::mkfifo((c / "AutoCopy" / "pipe").c_str(), 0644), 0); }},
        {"a FIFO named as a shortcut",
         [](const fs::path &c) { ASSERT_EQ(::mkfifo((c / "AutoRun" / "x.lnk").c_str(), 0644), 0); }},
        {"a FIFO named as a program",
         [](const fs::path &c) { ASSERT_EQ(::mkfifo((c / "AutoRun" / "x.exe").c_str(), 0644), 0); }},
        {"a device under AutoCopy",
         [](const fs::path &c) {
             // /dev/zero reads without end; a link to it where no node can be made.
             if (::mknod((c / "AutoCopy" / "zero").c_str(), S_IFCHR | 0644, ::makedev(1, 5)) != 0)
                 fs::create_symlink("/dev/zero", c / "AutoCopy" / "zero");
         }},
    };

    agent_ = std::async(std::launch::async, [d = dir()] {
        return vtest::run("autorun-agent", {}, {{"VBOARD_DIR", d}}, 120);
    });
    ASSERT_TRUE(waitFor([&] { return !board_.events("start").empty(); }, 20s)) << "the agent did not boot";

    size_t expected = 0;
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bad = "Bad" + std::to_string(n);
        const std::string good = "Good" + std::to_string(n++);
        const fs::path badCard = card(bad);
        c.make(badCard);
        const fs::path goodCard = card(good);
        vtest::writeFile(goodCard / "AutoRun" / (good + ".exe"), "MZ");
        vtest::writeFile(goodCard / "AutoCopy" / (good + ".txt"), good);
        mount(bad, badCard);
        mount(good, goodCard);
        ++expected;
        // The first card waits out the agent's pause of 1.5 s.
        ASSERT_TRUE(waitFor([&] { return programs().size() == expected; }, 10s))
            << "the agent did not get past the card";
        EXPECT_EQ(programs().back(), "\\" + good + "\\AutoRun\\" + good + ".exe");
        EXPECT_EQ(vtest::readFile(board_.files() / (good + ".txt")), good);
    }
    // Of the looping card only its one real file arrived.
    EXPECT_EQ(vtest::readFile(board_.files() / "real.txt"), "real");
    EXPECT_FALSE(fs::exists(board_.files() / "pipe"));
    EXPECT_FALSE(fs::exists(board_.files() / "zero"));

    ASSERT_EQ(vtest::run("vboard", {"stop", dir()}).exitCode, 0);
    ASSERT_EQ(agent_.wait_for(10s), std::future_status::ready);
    const auto result = agent_.get();
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

}  // namespace
