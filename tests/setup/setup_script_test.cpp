// scripts/setup.sh, which the README's two commands and CI run first: it
// installs only what is missing, updates the package lists first, and as
// another user than root names the missing packages and the command.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

const std::string kScript = (vtest::sourceDir() / "scripts" / "setup.sh").string();
const char *const kFake = "no-such-package-for-the-setup-test";

TEST(SetupScript, InstallsOnlyWhatIsMissingAfterAnUpdate) {
    // The build's own packages are there (the build ran): nothing to do.
    const auto nothing = vtest::run("/bin/bash", {kScript, "--dry-run"});
    EXPECT_EQ(nothing.exitCode, 0) << nothing.err;
    EXPECT_EQ(nothing.out, "");

    const auto missing = vtest::run("/bin/bash", {kScript, "--dry-run", "host", kFake});
    const std::string install = std::string("apt-get install -y --no-install-recommends ") + kFake;
    if (::geteuid() == 0) {
        EXPECT_EQ(missing.exitCode, 0) << missing.err;
        EXPECT_EQ(missing.out, std::string("setup: installing ") + kFake +
                                   "\nwould run: apt-get update\nwould run: " + install + "\n");
    } else {
        EXPECT_EQ(missing.exitCode, 1);
        EXPECT_NE(missing.err.find(std::string("missing Debian packages: ") + kFake), std::string::npos) << missing.err;
        EXPECT_NE(missing.err.find("apt-get update && " + install), std::string::npos) << missing.err;
    }

    const auto bad = vtest::run("/bin/bash", {kScript, "--quiet"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("unknown option '--quiet'"), std::string::npos) << bad.err;
}

TEST(SetupScript, AnotherUserIsToldWhatToInstall) {
    if (::geteuid() != 0 || ::access("/usr/sbin/runuser", X_OK) != 0) GTEST_SKIP() << "needs root and runuser";
    // The checkout may sit where the other user cannot read it (root's home,
    // mode 0700): that user runs a copy from a folder everyone can read.
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "setup-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
    const fs::path dir = pattern;
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    const fs::path script = dir / "setup.sh";
    fs::copy_file(kScript, script);
    fs::permissions(script,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    // Not a dry run: the script must stop before apt-get as this user.
    const auto r = vtest::run("/usr/sbin/runuser", {"-u", "nobody", "--", "/bin/bash", script.string(), "host", kFake});
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(std::string("setup: missing Debian packages: ") + kFake + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(std::string("apt-get update && apt-get install -y --no-install-recommends ") + kFake),
              std::string::npos)
        << r.err;
}

}  // namespace
