// A temporary board with the platform layer booted on it, for tests that
// call the platform in-process.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"
#include "wince/host.h"

class OnBoard : public ::testing::Test {
  protected:
    void SetUp() override { wince::boot(board_.dir(), nullptr, "test"); }
    void TearDown() override { wince::shutdown(); }

    board::Board &board() { return wince::currentBoard(); }
    std::filesystem::path files() const { return board_.files(); }
    static std::u16string W(const std::string &s) { return wince::toUtf16(s); }

    // Writes a host file under `root`, making its folders.
    static void put(const std::filesystem::path &file, const std::string &bytes) {
        std::filesystem::create_directories(file.parent_path());
        vtest::writeFile(file, bytes);
    }

    vtest::TempBoard board_;
};
