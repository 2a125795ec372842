// An image cut short anywhere in its first 23 bytes is refused with the part
// it ends in named: the signature, the image header (start and length), or
// the first record's header.
#include <gtest/gtest.h>

#include "image.h"

namespace {

TEST(ShortImage, TheRefusalNamesThePartTheFileEndsIn) {
    const std::string whole = binimage::build(
        {{"start", 0x80080000u}, {"length", 0x1000u}, {"records", {{{"address", 0x80080000u}, {"hex", "01020304"}}}}});
    ASSERT_GT(whole.size(), 23u);
    for (size_t n = 0; n < 23; ++n) {
        SCOPED_TRACE(n);
        const auto r = binimage::inspect(whole.substr(0, n));
        ASSERT_TRUE(r.refusal);
        ASSERT_FALSE(r.findings.empty());
        std::string all;
        for (const auto &f : r.findings) all += f.message + "\n";
        const char *part = n < 7    ? "file shorter than the signature"
                           : n < 15 ? "file ends inside the image header"
                                    : "file ends inside the header of record 1";
        EXPECT_NE(all.find(part), std::string::npos) << all;
    }
}

}  // namespace
