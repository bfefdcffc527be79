// The test image files and the board's checks of them.
#include "tests/boardsim/client.h"

#include "boardsim/image.h"

#include <gtest/gtest.h>

using namespace bt;

namespace {

struct Layout {
    std::string target;
    uint32_t tag, load, dcd_offset, dcd_length, program;
};

const Layout kLayouts[] = {
    {"egret", 0x54524745, 0xF8006000, 52, 1600, 1664},
    {"heron", 0x4E524548, 0x1FFE6000, 36, 1632, 1680},
    {"kestrel", 0x4C54534B, 0x00907000, 0, 0, 64},
    {"merlin", 0x4E4C524D, 0x00907000, 0, 0, 64},
    {"hobby", 0x59424F48, 0x00907000, 0, 0, 64},
};

// The CRC the header must carry: everything but the DCD region, the CRC field as zero.
uint32_t expected_crc(std::string img, const Layout& l) {
    set_le32(img, 28, 0);
    if (l.dcd_length)
        img.erase(l.dcd_offset, l.dcd_length);
    return crc32(img);
}

TEST(BoardImages, WrittenWithHeaderRegionAndChecksum) {
    testsupport::TempDir d;
    auto r = testsupport::run({board_exe(), "--write-images", d.path()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.target);
        std::string img = testsupport::read_file(d.file("larkspur-" + l.target + ".bin"));
        ASSERT_EQ(img.size(), 8192u);
        EXPECT_EQ(img.substr(0, 4), "LKSP");
        EXPECT_EQ(le32(img, 4), l.tag);
        EXPECT_EQ(le32(img, 8), 8192u);
        EXPECT_EQ(le32(img, 12), l.load);
        EXPECT_EQ(le32(img, 16), l.dcd_offset);
        EXPECT_EQ(le32(img, 20), l.dcd_length);
        EXPECT_EQ(le32(img, 24), l.program);
        EXPECT_EQ(le32(img, 28), expected_crc(img, l));
        EXPECT_NE(img.find("Larkspur test program for " + l.target), std::string::npos);
    }
    // The region holds placeholder entries, not the host's filler: a missing placement shows.
    std::string egret = testsupport::read_file(d.file("larkspur-egret.bin"));
    for (size_t i = 0; i < 200; ++i) {
        ASSERT_EQ(be32(egret, 52 + 8 * i), 0xF801DC04u) << i;
        ASSERT_EQ(be32(egret, 56 + 8 * i), 0x0BADDCD0u) << i;
    }
    EXPECT_NE(be32(egret, 52 + 1600), 0xF801DC04u); // the region ends where it should
    std::string heron = testsupport::read_file(d.file("larkspur-heron.bin"));
    for (size_t i = 0; i < 136; ++i) {
        ASSERT_EQ(le32(heron, 36 + 12 * i), 4u) << i;
        ASSERT_EQ(le32(heron, 40 + 12 * i), 0x1FFFDC04u) << i;
        ASSERT_EQ(le32(heron, 44 + 12 * i), 0x0BADDCD0u) << i;
    }
    EXPECT_NE(le32(heron, 36 + 1632), 4u); // the region ends where it should
}

TEST(BoardImages, SizeOptionAndItsLimits) {
    testsupport::TempDir d;
    auto r = testsupport::run({board_exe(), "--write-images", d.path(), "--image-size", "1680"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(testsupport::read_file(d.file("larkspur-heron.bin")).size(), 1680u);
    EXPECT_EQ(testsupport::read_file(d.file("larkspur-kestrel.bin")).size(), 1680u);
    EXPECT_EQ(testsupport::run({board_exe(), "--write-images", d.path(), "--image-size", "1679"})
                  .exit_code,
              2);
    EXPECT_EQ(testsupport::run({board_exe(), "--write-images", d.path(), "--image-size", "106497"})
                  .exit_code,
              2);
}

// The check the test program makes: a changed byte outside the region is found, one
// inside it (where the host places its DCD) is not a fault.
TEST(BoardImages, ChecksumDetectsAChangedByteOutsideTheRegion) {
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.target);
        const board::Chip& chip = *board::find_chip(l.target);
        std::string img = test_image(l.target);
        auto span = [](const std::string& s) {
            return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
        };
        EXPECT_TRUE(board::check_image(chip, span(img)).intact);
        for (size_t at : {size_t(0x20), size_t(3000), img.size() - 1, size_t(9)}) {
            std::string bad = img;
            bad[at] ^= 0x01;
            auto c = board::check_image(chip, span(bad));
            EXPECT_FALSE(c.intact) << at;
        }
        if (l.dcd_length) {
            std::string placed = img;
            placed[l.dcd_offset + 5] ^= 0x40;
            EXPECT_TRUE(board::check_image(chip, span(placed)).intact);
        }
        std::string other = test_image(l.target == "egret" ? "heron" : "egret");
        auto c = board::check_image(chip, span(other));
        EXPECT_FALSE(c.runs);
    }
}

} // namespace
