#include "platform/shared.h"
#include "app/utility.h"
#include "ddrconfig/ddrconfig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> be(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
std::vector<uint8_t> le(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
template <size_t N>
std::vector<uint8_t> entry(const std::array<uint8_t, N>& area, size_t i, size_t size) {
    return {area.begin() + i * size, area.begin() + (i + 1) * size};
}

std::string capture_check(const std::vector<dcd_node>& nodes, const range_table& t, int* rc) {
    testing::internal::CaptureStdout();
    *rc = check_dcd_addresses(nodes.data(), static_cast<uint32_t>(nodes.size()), t.rows, t.table);
    return testing::internal::GetCapturedStdout();
}

TEST(MemoryMaps, RowCountsPerTarget) {
    EXPECT_EQ(range_table_for(TARGET_EGRET)->rows, 7u);
    EXPECT_EQ(range_table_for(TARGET_HERON)->rows, 6u);
    for (int t : {TARGET_KESTREL, TARGET_MERLIN, TARGET_HOBBY})
        EXPECT_EQ(range_table_for(t)->rows, 6u);
    EXPECT_EQ(range_table_for(TARGET_FALCON), nullptr);
    EXPECT_NE(range_table_for(TARGET_KESTREL), range_table_for(TARGET_MERLIN));
    EXPECT_EQ(max_dcd_entries(TARGET_EGRET), 192u);
    EXPECT_EQ(max_dcd_entries(TARGET_HERON), 128u);
    EXPECT_EQ(max_dcd_entries(TARGET_HOBBY), 512u);
}

// Both ends of every row pass; one beyond either end fails unless another row holds it.
TEST(MemoryMaps, EveryRowEdgeForEveryTarget) {
    for (int t : {TARGET_EGRET, TARGET_HERON, TARGET_KESTREL, TARGET_MERLIN, TARGET_HOBBY}) {
        const range_table& rt = *range_table_for(t);
        auto held_elsewhere = [&](uint32_t a, uint32_t skip) {
            for (uint32_t i = 0; i < rt.rows; ++i)
                if (i != skip && rt.table[i].first <= a && a <= rt.table[i].last)
                    return true;
            return false;
        };
        for (uint32_t r = 0; r < rt.rows; ++r) {
            const addr_range& row = rt.table[r];
            EXPECT_EQ(addr_in_ranges(row.first, rt.rows, rt.table), 0);
            EXPECT_EQ(addr_in_ranges(row.last, rt.rows, rt.table), 0);
            if (row.first > 0 && !held_elsewhere(row.first - 1, r)) {
                EXPECT_EQ(addr_in_ranges(row.first - 1, rt.rows, rt.table), -1)
                    << t << " row " << r;
            }
            if (row.last < 0xFFFFFFFF && !held_elsewhere(row.last + 1, r)) {
                EXPECT_EQ(addr_in_ranges(row.last + 1, rt.rows, rt.table), -1) << t << " row " << r;
            }
        }
    }
}

TEST(MemoryMaps, DocumentedEdges) {
    const range_table& e = egret_range_table;
    EXPECT_EQ(addr_in_ranges(0x53FD4000, e.rows, e.table), 0);
    EXPECT_EQ(addr_in_ranges(0x53FD7FFF, e.rows, e.table), 0);
    EXPECT_EQ(addr_in_ranges(0x53FD3FFF, e.rows, e.table), -1);
    EXPECT_EQ(addr_in_ranges(0x53FD8000, e.rows, e.table), -1);
    const range_table& k = kestrel_range_table;
    EXPECT_EQ(addr_in_ranges(0x00937FF0, k.rows, k.table), 0);
    EXPECT_EQ(addr_in_ranges(0x00937FF1, k.rows, k.table), -1);
    EXPECT_EQ(addr_in_ranges(0x10000000, k.rows, k.table), 0);
    EXPECT_EQ(addr_in_ranges(0xFFFFFFFF, k.rows, k.table), 0);
    EXPECT_EQ(addr_in_ranges(0, k.rows, k.table), -1);
}

TEST(CheckAddresses, OnlyFirstOffenderReportedValuesIgnored) {
    int rc = 1;
    EXPECT_EQ(capture_check({{0x53FD4000, 0xFFFFFFFF}, {0xF801DC00, 0}}, egret_range_table, &rc),
              "");
    EXPECT_EQ(rc, 0);
    std::string out =
        capture_check({{0x53FD4000, 1}, {0x00000010, 2}, {0x00000020, 3}, {0xABCDEF01, 4}},
                      egret_range_table, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, "dcd address 0x00000010 out of valid range.\n");
    EXPECT_EQ(capture_check({}, heron_range_table, &rc), "");
    EXPECT_EQ(rc, 0);
}

class DcdAreas : public testing::Test {
  protected:
    void encode(int target, int usb, const std::vector<dcd_node>& nodes) {
        target_id = target;
        use_usb = usb;
        reset_dcd_tables();
        testing::internal::CaptureStdout();
        encode_dcd(nodes.data(), static_cast<uint32_t>(nodes.size()));
        printed = testing::internal::GetCapturedStdout();
    }
    void TearDown() override {
        target_id = TARGET_NONE;
        use_usb = 0;
    }
    std::string printed;
};

TEST_F(DcdAreas, EgretEntriesBigEndian) {
    encode(TARGET_EGRET, 0, {{0x53FD4000, 0xDEADC0DE}, {0x63FD9000, 0x84190000}});
    EXPECT_EQ(entry(egret_dcd_area, 0, 8),
              (std::vector<uint8_t>{0x53, 0xFD, 0x40, 0x00, 0xDE, 0xAD, 0xC0, 0xDE}));
    EXPECT_EQ(entry(egret_dcd_area, 1, 8), cat({be(0x63FD9000), be(0x84190000)}));
    for (size_t i = 2; i < 200; ++i)
        EXPECT_EQ(entry(egret_dcd_area, i, 8), cat({be(0xF801DC00), be(0xDEADC0DE)})) << i;
    EXPECT_EQ(printed, "");
}

TEST_F(DcdAreas, HeronEntriesLittleEndianWithWidth) {
    encode(TARGET_HERON, 0, {{0x83FD9000, 0x82A20000}});
    EXPECT_EQ(entry(heron_dcd_area, 0, 12), (std::vector<uint8_t>{0x04, 0, 0, 0, 0x00, 0x90, 0xFD,
                                                                  0x83, 0x00, 0x00, 0xA2, 0x82}));
    for (size_t i = 1; i < 136; ++i)
        EXPECT_EQ(entry(heron_dcd_area, i, 12), cat({le(4), le(0x1FFFDC00), le(0xDEADC0DE)})) << i;
}

TEST_F(DcdAreas, UsbValidFlagOnlyOverUsb) {
    encode(TARGET_EGRET, 1, {});
    EXPECT_EQ(printed, "USB valid flag for egret set.\n");
    for (size_t i = 0; i < 200; ++i) {
        auto want = i == 192 ? cat({be(0xF801DC10), be(0x55AA55AA)})
                             : cat({be(0xF801DC00), be(0xDEADC0DE)});
        EXPECT_EQ(entry(egret_dcd_area, i, 8), want) << i;
    }
    encode(TARGET_EGRET, 0, {});
    EXPECT_EQ(entry(egret_dcd_area, 192, 8), cat({be(0xF801DC00), be(0xDEADC0DE)}));

    std::vector<dcd_node> full(128);
    for (uint32_t i = 0; i < 128; ++i)
        full[i] = {0x73FD4000 + 4 * i, i};
    encode(TARGET_HERON, 1, full);
    EXPECT_EQ(printed, "") << "heron sets the flag silently";
    EXPECT_EQ(entry(heron_dcd_area, 127, 12), cat({le(4), le(0x73FD41FC), le(127)}));
    EXPECT_EQ(entry(heron_dcd_area, 128, 12), cat({le(4), le(0x1FFFDC10), le(0x55AA55AA)}));
    for (size_t i = 129; i < 136; ++i)
        EXPECT_EQ(entry(heron_dcd_area, i, 12), cat({le(4), le(0x1FFFDC00), le(0xDEADC0DE)}));
}

TEST_F(DcdAreas, FalconTouchesNoArea) {
    encode(TARGET_EGRET, 0, {{0x53FD4000, 1}});
    auto egret_before = egret_dcd_area;
    target_id = TARGET_KESTREL;
    use_usb = 1;
    dcd_node n{0x020E0000, 5};
    encode_dcd(&n, 1);
    EXPECT_EQ(egret_dcd_area, egret_before);
}

TEST_F(DcdAreas, PlacementChangesOnlyTheRegion) {
    for (int t : {TARGET_EGRET, TARGET_HERON, TARGET_MERLIN}) {
        encode(t, 1, {{0x53FD4000, 0x11223344}});
        std::vector<uint8_t> image(4096);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<uint8_t>(i * 7 + 3);
        std::vector<uint8_t> orig = image;
        place_dcd_area(image.data(), image.size());
        size_t off = t == TARGET_EGRET ? 52 : 36;
        size_t len = t == TARGET_EGRET ? egret_dcd_area.size() : heron_dcd_area.size();
        if (t == TARGET_MERLIN) {
            EXPECT_EQ(image, orig);
            continue;
        }
        EXPECT_EQ(dcd_region_end(t), off + len);
        const uint8_t* area = t == TARGET_EGRET ? egret_dcd_area.data() : heron_dcd_area.data();
        for (size_t i = 0; i < image.size(); ++i) {
            if (i >= off && i < off + len)
                ASSERT_EQ(image[i], area[i - off]) << i;
            else
                ASSERT_EQ(image[i], orig[i]) << i;
        }
    }
}

TEST_F(DcdAreas, SerialAndUsbImagesDifferOnlyInTheFlagEntry) {
    std::vector<dcd_node> nodes = {{0x63FD9000, 1}};
    std::vector<uint8_t> serial(2048, 0x5A), usb(2048, 0x5A);
    encode(TARGET_EGRET, 0, nodes);
    place_dcd_area(serial.data(), serial.size());
    encode(TARGET_EGRET, 1, nodes);
    place_dcd_area(usb.data(), usb.size());
    for (size_t i = 0; i < serial.size(); ++i) {
        if (i >= 1588 && i <= 1595)
            continue;
        ASSERT_EQ(serial[i], usb[i]) << i;
    }
    EXPECT_NE(std::vector<uint8_t>(serial.begin() + 1588, serial.begin() + 1596),
              std::vector<uint8_t>(usb.begin() + 1588, usb.begin() + 1596));
}

// The sample scripts are what a new user runs first: they must parse and fit their maps.
TEST(Examples, ParseAndPassTheirMap) {
    const std::pair<const char*, int> samples[] = {{"egret", TARGET_EGRET},
                                                   {"heron", TARGET_HERON},
                                                   {"kestrel", TARGET_KESTREL},
                                                   {"merlin", TARGET_MERLIN},
                                                   {"hobby", TARGET_HOBBY}};
    for (auto [name, target] : samples) {
        std::string path = std::string(LARKSPUR_SOURCE_DIR) + "/examples/" + name + ".inc";
        FILE* f = std::fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr) << path;
        std::vector<dcd_node> nodes(max_dcd_entries(target));
        uint32_t len = max_dcd_entries(target);
        testing::internal::CaptureStdout();
        int rc = parse_ddr_init_script(f, nodes.data(), &len);
        std::fclose(f);
        const range_table& rt = *range_table_for(target);
        int check = check_dcd_addresses(nodes.data(), len, rt.rows, rt.table);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 0) << name << out;
        EXPECT_EQ(check, 0) << name << out;
        EXPECT_GE(len, 24u) << name;
    }
}

} // namespace
