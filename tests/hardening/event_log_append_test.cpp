// The board's event log as several writers append to it: every entry is one
// whole line at the end of the file under the log's name, also after that
// file was emptied, removed, moved away or replaced behind a writer's back.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "hardening_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using vtest::lines;

TEST(EventLogAppend, EveryEntryLandsInTheFileNowUnderTheName) {
    struct Case {
        const char *name;
        std::function<void(const fs::path &log)> meddle;
        std::vector<std::string> before;  // the events the file under the name holds before the next entry
    };
    const std::vector<Case> cases = {
        {"left alone", [](const fs::path &) {}, {"first"}},
        {"emptied", [](const fs::path &log) { fs::resize_file(log, 0); }, {}},
        {"removed", [](const fs::path &log) { fs::remove(log); }, {}},
        {"moved away", [](const fs::path &log) { fs::rename(log, log.parent_path() / "old.jsonl"); }, {}},
        {"replaced",
         [](const fs::path &log) {
             vtest::writeFile(log.parent_path() / "new.jsonl", "{\"event\":\"other\"}\n");
             fs::rename(log.parent_path() / "new.jsonl", log);
         },
         {"other"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        hardening::BoardWithoutLog b;
        auto &board = b.board;
        const fs::path &log = b.log;
        board->log().append({{"event", "first"}});
        c.meddle(log);
        board->log().append({{"event", "second"}});

        std::vector<std::string> events;
        for (const auto &line : lines(log)) events.push_back(json::parse(line).value("event", ""));
        std::vector<std::string> expected = c.before;
        expected.push_back("second");
        EXPECT_EQ(events, expected);
        if (fs::exists(b.temp.dir() / "old.jsonl")) {
            EXPECT_EQ(lines(b.temp.dir() / "old.jsonl").size(), 1u);
        }
    }
}

TEST(EventLogAppend, WritersOnOneLogNeverMixTheirLines) {
    vtest::TempBoard temp;
    std::vector<std::unique_ptr<board::Board>> writers;
    for (int i = 0; i < 3; ++i) writers.push_back(board::Board::open(temp.dir()));
    const fs::path log = writers[0]->log().file();
    fs::remove(log);
    constexpr int kEntries = 300;
    const std::string filler(300, 'x');  // lines long enough to be cut if written in pieces
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w) {
        // Two threads per writer, as a program's main thread and worker.
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, w, t] {
                for (int i = 0; i < kEntries; ++i)
                    writers[static_cast<size_t>(w)]->log().append(
                        {{"event", "tick"}, {"writer", w}, {"thread", t}, {"n", i}, {"filler", filler}});
            });
        }
    }
    // Emptied now and then while they write, as a long run trims its log.
    // (A slow start may not have made the file yet: nothing to empty then.)
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::error_code ec;
        fs::resize_file(log, 0, ec);
    }
    for (auto &t : threads) t.join();
    for (int w = 0; w < 3; ++w) writers[static_cast<size_t>(w)]->log().append({{"event", "done"}, {"writer", w}});

    EXPECT_EQ(vtest::readFile(log).find('\0'), std::string::npos) << "a writer wrote past the end of an emptied log";
    const auto got = lines(log);
    ASSERT_GE(got.size(), 3u);
    std::map<std::pair<int, int>, int> last;
    for (size_t i = 0; i + 3 < got.size(); ++i) {
        const json e = json::parse(got[i], nullptr, false);
        ASSERT_FALSE(e.is_discarded()) << "a mixed or cut line: " << got[i];
        EXPECT_EQ(e["filler"], filler);
        auto &seen = last.try_emplace({e["writer"].get<int>(), e["thread"].get<int>()}, -1).first->second;
        EXPECT_GT(e["n"].get<int>(), seen) << "lines of one thread out of order";
        seen = e["n"].get<int>();
    }
    for (int w = 0; w < 3; ++w) {
        const json e = json::parse(got[got.size() - 3 + static_cast<size_t>(w)], nullptr, false);
        EXPECT_EQ(e.value("event", ""), "done");
        EXPECT_EQ(e.value("writer", -1), w);
    }
}

TEST(EventLogAppend, AnEntryKeepsItsOwnFieldsAndGetsTheBoardsOthers) {
    hardening::BoardWithoutLog b;
    auto &board = b.board;
    const fs::path &log = b.log;
    board::EventLog::setProgram("log-test");
    board->log().append({{"event", "plain"}, {"a", 1}});
    board->log().append({{"event", "own"}, {"program", "someone"}, {"pid", 7}, {"t_ms", 3}});
    EXPECT_THROW(board->log().append(json::array({1, 2})), json::exception);
    board::EventLog::setProgram("host");

    const auto got = lines(log);
    ASSERT_EQ(got.size(), 2u);
    const json plain = json::parse(got[0]);
    EXPECT_EQ(plain["program"], "log-test");
    EXPECT_EQ(plain["pid"], static_cast<uint32_t>(::getpid()));
    EXPECT_TRUE(plain["t_ms"].is_number());
    EXPECT_EQ(got[1], R"({"event":"own","pid":7,"program":"someone","t_ms":3})");
}

}  // namespace
