// A copy being made is never seen under its name before it is whole, and
// leaves nothing behind when it is given up.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "board/filesystem.h"
#include <gtest/gtest.h>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> namesIn(const fs::path &dir) {
    std::set<std::string> out;
    for (auto &e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

struct Making {
    const char *name;
    bool unnamed;     // a file without a name may be tried
    bool nameTaken;   // "dest.txt" is there before the copy is put in place
    bool putInPlace;  // or given up
};

void PrintTo(const Making &m, std::ostream *os) { *os << m.name; }

class HalfMade : public ::testing::TestWithParam<Making> {
  protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) / ("half-made-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        folder_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(folder_, 0);
    }
    void TearDown() override {
        ::close(folder_);
        fs::remove_all(dir_);
    }
    fs::path dir_;
    int folder_ = -1;
};

TEST_P(HalfMade, IsSeenOnlyWhole) {
    const Making &m = GetParam();
    {
        board::HalfMadeFile file(folder_, 0644, m.unnamed);
        ASSERT_GE(file.fd(), 0);
        ASSERT_EQ(::write(file.fd(), "whole", 5), 5);
        // Not there under the name yet, whatever else the folder shows.
        EXPECT_FALSE(fs::exists(dir_ / "dest.txt"));
        if (m.nameTaken) vtest::writeFile(dir_ / "dest.txt", "old");
        if (m.putInPlace) {
            ASSERT_TRUE(file.putInPlace("dest.txt"));
        }
    }
    // Only the destination's name is left, never the copy's own.
    const bool there = m.putInPlace || m.nameTaken;
    EXPECT_EQ(namesIn(dir_), there ? std::set<std::string>{"dest.txt"} : std::set<std::string>{});
    if (there) {
        EXPECT_EQ(vtest::readFile(dir_ / "dest.txt"), m.putInPlace ? "whole" : "old");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HalfMade,
                         ::testing::Values(Making{"UnnamedPutInPlace", true, false, true},
                                           Making{"UnnamedReplacesAFileThatCameMeanwhile", true, true, true},
                                           Making{"UnnamedGivenUp", true, false, false},
                                           Making{"NamedPutInPlace", false, false, true},
                                           Making{"NamedReplacesAFile", false, true, true},
                                           Making{"NamedGivenUp", false, true, false}),
                         [](const ::testing::TestParamInfo<Making> &info) { return std::string(info.param.name); });

// A folder gone before the copy is put in place: a clear failure, and no
// copy of its own name left anywhere.
TEST_F(HalfMade, AFolderGoneFailsToPutInPlace) {
    board::HalfMadeFile file(folder_, 0644, true);
    ASSERT_GE(file.fd(), 0);
    fs::remove_all(dir_);
    errno = 0;
    EXPECT_FALSE(file.putInPlace("dest.txt"));
    EXPECT_EQ(errno, ENOENT);
}

// Names a process of the same number left behind are passed over.
TEST_F(HalfMade, ANameLeftBehindIsPassedOver) {
    const std::string last = board::copyTempName();
    const std::string prefix = last.substr(0, last.rfind('-') + 1);
    const unsigned next = static_cast<unsigned>(std::stoul(last.substr(prefix.size()))) + 1;
    std::set<std::string> left;
    for (unsigned i = next; i < next + 3; ++i) {
        left.insert(prefix + std::to_string(i));
        vtest::writeFile(dir_ / (prefix + std::to_string(i)), "left");
    }
    {
        board::HalfMadeFile file(folder_, 0644, false);
        ASSERT_GE(file.fd(), 0);
        ASSERT_EQ(::write(file.fd(), "whole", 5), 5);
        ASSERT_TRUE(file.putInPlace("dest.txt"));
    }
    std::set<std::string> expected = left;
    expected.insert("dest.txt");
    EXPECT_EQ(namesIn(dir_), expected);
    for (const auto &name : left) EXPECT_EQ(vtest::readFile(dir_ / name), "left");
}

// A child made by fork names its copies apart from its parent's.
TEST(CopyTempName, AForkedChildNamesItsCopiesApart) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string name = board::copyTempName();
        const bool ok = ::write(pipeFds[1], name.data(), name.size()) == static_cast<ssize_t>(name.size());
        ::_exit(ok ? 0 : 1);
    }
    ::close(pipeFds[1]);
    char buf[256];
    const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(buf, static_cast<size_t>(n)), board::copyTempName());
}

}  // namespace
