// The chips' memory maps, as their data sheets give them, and the address check.
#include "ddrconfig/ddrconfig.h"

#include <gtest/gtest.h>

namespace {

using Rows = std::vector<addr_range>;

const Rows kEgret = {{0x53FD4000, 0x53FD7FFF}, {0x63FDA000, 0x63FDAFFF}, {0x53FA8000, 0x53FABFFF},
                     {0x63FD9000, 0x63FD9FFF}, {0x53F80000, 0x53F93FFF}, {0x53FDC000, 0x53FE7FFF},
                     {0xF801DC00, 0xF801DFFF}};
const Rows kHeron = {{0x73FD4000, 0x73FD7FFF}, {0x83FDA000, 0x83FDAFFF}, {0x73FA8000, 0x73FABFFF},
                     {0x83FD9000, 0x83FD9FFF}, {0x73F84000, 0x73F93FFF}, {0x1FFFDC00, 0x1FFFEFFF}};
const Rows kFalcon = {{0x020E0000, 0x020E3FFF}, {0x020C4000, 0x020C7FFF}, {0x021B0000, 0x021B7FFF},
                      {0x00907000, 0x00937FF0}, {0x08000000, 0x0FFEFFFF}, {0x10000000, 0xFFFFFFFF}};
const struct {
    int target;
    uint32_t max_entries;
    const Rows& rows;
} kMaps[] = {{TARGET_EGRET, 192, kEgret},
             {TARGET_HERON, 128, kHeron},
             {TARGET_KESTREL, 512, kFalcon},
             {TARGET_MERLIN, 512, kFalcon},
             {TARGET_HOBBY, 512, kFalcon}};

bool held(const Rows& rows, uint32_t a) {
    for (const addr_range& r : rows)
        if (r.first <= a && a <= r.last)
            return true;
    return false;
}

// Both ends of every row pass; one beyond either end fails unless another row holds it.
TEST(MemoryMaps, EveryRowEdgeOfEveryTarget) {
    EXPECT_EQ(range_table_for(TARGET_FALCON), nullptr);
    EXPECT_EQ(max_dcd_entries(TARGET_FALCON), 0u);
    for (const auto& m : kMaps) {
        const range_table* t = range_table_for(m.target);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->rows, m.rows.size()) << m.target;
        EXPECT_EQ(max_dcd_entries(m.target), m.max_entries) << m.target;
        for (const addr_range& r : m.rows) {
            for (uint32_t a : {r.first, r.last, r.first - 1, r.last + 1}) {
                int want = held(m.rows, a) ? 0 : -1;
                EXPECT_EQ(addr_in_ranges(a, t->rows, t->table), want)
                    << m.target << " 0x" << std::hex << a;
            }
        }
    }
}

} // namespace
