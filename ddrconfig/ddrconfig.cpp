#include "ddrconfig/ddrconfig.h"

#include "platform/screen.h"
#include "platform/shared.h"

#include <cstdio>
#include <cstring>
#include <span>

namespace {

constexpr addr_range egret_rows[] = {
    {0x53FD4000, 0x53FD7FFF}, {0x63FDA000, 0x63FDAFFF}, {0x53FA8000, 0x53FABFFF},
    {0x63FD9000, 0x63FD9FFF}, {0x53F80000, 0x53F93FFF}, {0x53FDC000, 0x53FE7FFF},
    {0xF801DC00, 0xF801DFFF},
};

constexpr addr_range heron_rows[] = {
    {0x73FD4000, 0x73FD7FFF}, {0x83FDA000, 0x83FDAFFF}, {0x73FA8000, 0x73FABFFF},
    {0x83FD9000, 0x83FD9FFF}, {0x73F84000, 0x73F93FFF}, {0x1FFFDC00, 0x1FFFEFFF},
};

// The three falcon variants share one map but keep a table each.
constexpr addr_range falcon_rows[] = {
    {0x020E0000, 0x020E3FFF}, {0x020C4000, 0x020C7FFF}, {0x021B0000, 0x021B7FFF},
    {0x00907000, 0x00937FF0}, {0x08000000, 0x0FFEFFFF}, {0x10000000, 0xFFFFFFFF},
};

template <size_t N> constexpr range_table make_table(const addr_range (&rows)[N]) {
    return {static_cast<uint32_t>(N), rows};
}

void egret_entry(size_t i, uint32_t addr, uint32_t value) {
    uint8_t* e = egret_dcd_area.data() + i * EGRET_DCD_ENTRY_SIZE;
    put_be(e, addr, 4);
    put_be(e + 4, value, 4);
}

void heron_entry(size_t i, uint32_t addr, uint32_t value) {
    uint8_t* e = heron_dcd_area.data() + i * HERON_DCD_ENTRY_SIZE;
    put_le32(e, 4);
    put_le32(e + 4, addr);
    put_le32(e + 8, value);
}

} // namespace

const range_table egret_range_table = make_table(egret_rows);
const range_table heron_range_table = make_table(heron_rows);
const range_table kestrel_range_table = make_table(falcon_rows);
const range_table merlin_range_table = make_table(falcon_rows);
const range_table hobby_range_table = make_table(falcon_rows);

std::array<uint8_t, EGRET_DCD_ENTRIES * EGRET_DCD_ENTRY_SIZE> egret_dcd_area;
std::array<uint8_t, HERON_DCD_ENTRIES * HERON_DCD_ENTRY_SIZE> heron_dcd_area;

const range_table* range_table_for(int target) {
    switch (target) {
    case TARGET_EGRET:
        return &egret_range_table;
    case TARGET_HERON:
        return &heron_range_table;
    case TARGET_KESTREL:
        return &kestrel_range_table;
    case TARGET_MERLIN:
        return &merlin_range_table;
    case TARGET_HOBBY:
        return &hobby_range_table;
    default:
        return nullptr;
    }
}

uint32_t max_dcd_entries(int target) {
    switch (target) {
    case TARGET_EGRET:
        return EGRET_MAX_ENTRIES;
    case TARGET_HERON:
        return HERON_MAX_ENTRIES;
    case TARGET_KESTREL:
    case TARGET_MERLIN:
    case TARGET_HOBBY:
        return FALCON_MAX_ENTRIES;
    default:
        return 0;
    }
}

int addr_in_ranges(uint32_t addr, uint32_t rows, const addr_range* table) {
    for (const addr_range& r : std::span(table, rows)) {
        if (r.first <= addr && addr <= r.last)
            return 0;
    }
    return -1;
}

int check_dcd_addresses(const dcd_node* nodes, uint32_t count, uint32_t rows,
                        const addr_range* table) {
    for (const dcd_node& n : std::span(nodes, count)) {
        if (addr_in_ranges(n.addr, rows, table) != 0) {
            msg_printf("dcd address 0x%08x out of valid range.\n", n.addr);
            return -1;
        }
    }
    return 0;
}

int reset_dcd_tables() {
    for (size_t i = 0; i < EGRET_DCD_ENTRIES; ++i)
        egret_entry(i, EGRET_FILLER_ADDR, DCD_FILLER_VALUE);
    for (size_t i = 0; i < HERON_DCD_ENTRIES; ++i)
        heron_entry(i, HERON_FILLER_ADDR, DCD_FILLER_VALUE);
    return 0;
}

void encode_dcd(const dcd_node* nodes, uint32_t count) {
    if (target_id == TARGET_EGRET) {
        // The parser caps the count; the cap here only keeps the area from overflowing.
        uint32_t n = count < EGRET_MAX_ENTRIES ? count : EGRET_MAX_ENTRIES;
        for (uint32_t i = 0; i < n; ++i)
            egret_entry(i, nodes[i].addr, nodes[i].value);
        if (use_usb) {
            egret_entry(EGRET_MAX_ENTRIES, EGRET_USB_FLAG_ADDR, USB_VALID_FLAG_VALUE);
            msg_printf("USB valid flag for egret set.\n");
        }
    } else if (target_id == TARGET_HERON) {
        uint32_t n = count < HERON_MAX_ENTRIES ? count : HERON_MAX_ENTRIES;
        for (uint32_t i = 0; i < n; ++i)
            heron_entry(i, nodes[i].addr, nodes[i].value);
        if (use_usb)
            heron_entry(HERON_MAX_ENTRIES, HERON_USB_FLAG_ADDR, USB_VALID_FLAG_VALUE);
    }
}

size_t dcd_region_end(int target) {
    if (target == TARGET_EGRET)
        return EGRET_DCD_OFFSET + egret_dcd_area.size();
    if (target == TARGET_HERON)
        return HERON_DCD_OFFSET + heron_dcd_area.size();
    return 0;
}

void place_dcd_area(uint8_t* image_buf, size_t image_size) {
    if (image_size < dcd_region_end(target_id))
        return;
    if (target_id == TARGET_EGRET)
        std::memcpy(image_buf + EGRET_DCD_OFFSET, egret_dcd_area.data(), egret_dcd_area.size());
    else if (target_id == TARGET_HERON)
        std::memcpy(image_buf + HERON_DCD_OFFSET, heron_dcd_area.data(), heron_dcd_area.size());
}
