// An entry of the board's event log is one line: the entry's fields and the
// added "t_ms", "pid" and "program" (unless the entry has its own), in key
// order, written compactly as the JSON library writes the merged object,
// whatever the entry holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "board/board.h"
#include "hardening_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string onlyLine(const fs::path &file) {
    const auto got = vtest::lines(file);
    EXPECT_EQ(got.size(), 1u);
    return got.empty() ? "" : got[0];
}

TEST(EventLogLine, IsTheMergedObjectAsTheLibraryWritesIt) {
    struct Case {
        const char *name;
        json entry;
    };
    const std::vector<Case> cases = {
        {"plain", {{"event", "boot"}}},
        {"around the added keys",
         {{"event", "e"}, {"pi", 1}, {"pida", 2}, {"prog", "x"}, {"programme", "y"}, {"t", 3}, {"t_ms_", 4}, {"z", 5}}},
        {"numbers and the rest",
         {{"event", "e"},
          {"neg", -9223372036854775807LL - 1},
          {"big", 18446744073709551615ULL},
          {"yes", true},
          {"no", false},
          {"none", nullptr},
          {"zero", 0}}},
        {"own fields win", {{"event", "own"}, {"t_ms", 5}, {"pid", 7}, {"program", "mine"}}},
        {"some own fields", {{"event", "own"}, {"pid", "text"}}},
        {"empty", json::object()},
        {"quote and backslash", {{"event", "say \"hi\" \\ bye"}}},
        {"control characters", {{"event", std::string("tab\there\nnew\x01")}}},
        {"not ASCII",
         {{"event",
           "Gr\xc3\xbc\xc3\x9f"
           "e"}}},
        {"broken UTF-8", {{"event", std::string("bad \xff byte")}}},
        {"a key to escape", {{"event", "e"}, {"the \"key\"", 1}}},
        {"a fraction", {{"event", "e"}, {"ratio", 0.1}}},
        {"nested", {{"event", "e"}, {"inner", {{"a", 1}, {"b", {1, 2, "x"}}}}}},
        {"a list", {{"event", "e"}, {"list", {1, "two", nullptr}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        hardening::BoardWithoutLog b;
        b.board->log().append(c.entry);
        const std::string line = onlyLine(b.log);
        // The added fields' values as written (the time and process vary).
        const json written = json::parse(line, nullptr, false, true);
        ASSERT_TRUE(written.is_object()) << line;
        json expected = c.entry;
        for (const char *key : {"t_ms", "pid", "program"}) {
            if (!expected.contains(key)) {
                ASSERT_TRUE(written.contains(key)) << key;
                expected[key] = written[key];
            }
        }
        EXPECT_EQ(line, expected.dump(-1, ' ', false, json::error_handler_t::replace));
    }
}

TEST(EventLogLine, AnEntryMustBeAnObject) {
    vtest::TempBoard temp;
    auto board = board::Board::open(temp.dir());
    EXPECT_ANY_THROW(board->log().append(json::array({1, 2})));
    EXPECT_ANY_THROW(board->log().append("text"));
}

}  // namespace
