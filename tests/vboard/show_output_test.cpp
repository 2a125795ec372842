// `vboard run --script --show`: what a person watching a scripted update
// sees, the end of the update included, and the board booting the new image
// after the reboot that ends it.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(VboardShow, AnUpdateIsDrawnToItsEndWithBarsNamedAndInKB) {
    vtest::TempBoard board;
    ASSERT_EQ(
        vtest::run("mkbin", {"--sample", "600K", (board.files() / "nk.bin").string(), "--built", "2026-12-08 14:03:09"})
            .exitCode,
        0);
    const auto r = vtest::run(
        "vboard", {"run", board.dir().string(), "--script",
                   (vtest::sourceDir() / "scripts" / "main-job.script").string(), "--show", "image-update-tool"});
    ASSERT_EQ(r.exitCode, 0) << r.err;  // the script ends with a reboot
    const std::string &out = r.out;
    // The new board came up in its default image; the reboot starts the new one.
    EXPECT_EQ(out.rfind("boot: Jumping to image at 0x9ca00000 (built 2007-03-05T14:03:09Z, 5 modules, 1 files)\n", 0),
              0u)
        << out;
    EXPECT_NE(r.err.find("the board reboots; boot: Jumping to image at 0x9ca00000 (built 2026-12-08T14:03:09Z, "
                         "5 modules, 2 files)"),
              std::string::npos)
        << r.err;
    // ...and the next program sees its build time.
    const auto v = vtest::run(
        "vboard", {"run", board.dir().string(), "--script",
                   (vtest::sourceDir() / "scripts" / "main-job-version.script").string(), "image-update-tool"});
    EXPECT_EQ(v.exitCode, 1) << v.err;
    const auto boxes = board.events("messagebox");
    ASSERT_EQ(boxes.size(), 1u) << v.err;
    EXPECT_NE(boxes[0]["text"].get<std::string>().find("IMAGE built:\t08 Dec 2026 14:03:09 (GMT)"), std::string::npos)
        << boxes[0]["text"];
    EXPECT_NE(out.find("  (pressed \"Update IMAGE\")\n"), std::string::npos) << out;
    // The last record's texts and the full total bar, then the close line.
    const size_t end = out.find("  Section: 00000000  Len: 00000000(0)\n");
    const size_t closed = out.find("  (closed \"Updating IMAGE\" after ");
    ASSERT_NE(end, std::string::npos) << out;
    ASSERT_NE(closed, std::string::npos) << out;
    EXPECT_LT(end, closed);
    // The total bar as it ended (the records hold a little less than the
    // image's length), drawn before the close line.
    const size_t total = out.rfind("  bar 2 [", closed);
    ASSERT_NE(total, std::string::npos) << out;
    const std::string last = out.substr(total, out.find('\n', total) - total);
    EXPECT_NE(last.find("[##############################] 5"), std::string::npos) << last;
    EXPECT_NE(last.find("/600 KB"), std::string::npos) << last;
    EXPECT_NE(out.find(" s of board time)\n", closed), std::string::npos) << out;
    EXPECT_NE(out.find("  bar 1 ["), std::string::npos) << out;
}

}  // namespace
