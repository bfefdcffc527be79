// Memory maps, the DCD areas of egret and heron, and their placement into the test image.
#pragma once

#include "platform/shared.h"

#include <array>
#include <cstddef>
#include <cstdint>

struct addr_range {
    uint32_t first; // both ends inclusive
    uint32_t last;
};

struct range_table {
    uint32_t rows;
    const addr_range* table;
};

extern const range_table egret_range_table;
extern const range_table heron_range_table;
extern const range_table kestrel_range_table;
extern const range_table merlin_range_table;
extern const range_table hobby_range_table;

// The memory map of a target_id, or null for one without a map (falcon not yet probed).
const range_table* range_table_for(int target);

int addr_in_ranges(uint32_t addr, uint32_t rows, const addr_range* table);
int check_dcd_addresses(const dcd_node* nodes, uint32_t count, uint32_t rows,
                        const addr_range* table);

constexpr size_t EGRET_DCD_ENTRIES = 200;
constexpr size_t EGRET_DCD_ENTRY_SIZE = 8;
constexpr size_t HERON_DCD_ENTRIES = 136;
constexpr size_t HERON_DCD_ENTRY_SIZE = 12;
constexpr size_t EGRET_DCD_OFFSET = 52;
constexpr size_t HERON_DCD_OFFSET = 36;
constexpr uint32_t EGRET_MAX_ENTRIES = 192;
constexpr uint32_t HERON_MAX_ENTRIES = 128;
constexpr uint32_t FALCON_MAX_ENTRIES = 512;

constexpr uint32_t DCD_FILLER_VALUE = 0xDEADC0DE;
constexpr uint32_t EGRET_FILLER_ADDR = 0xF801DC00;
constexpr uint32_t HERON_FILLER_ADDR = 0x1FFFDC00;
constexpr uint32_t USB_VALID_FLAG_VALUE = 0x55AA55AA;
constexpr uint32_t EGRET_USB_FLAG_ADDR = 0xF801DC10;
constexpr uint32_t HERON_USB_FLAG_ADDR = 0x1FFFDC10;

extern std::array<uint8_t, EGRET_DCD_ENTRIES * EGRET_DCD_ENTRY_SIZE> egret_dcd_area;
extern std::array<uint8_t, HERON_DCD_ENTRIES * HERON_DCD_ENTRY_SIZE> heron_dcd_area;

// Script entries a target accepts (0 for a target without one).
uint32_t max_dcd_entries(int target);

int reset_dcd_tables();
// Fills the area of target_id (egret or heron) from entry 0, and the USB valid flag entry
// when use_usb is set.
void encode_dcd(const dcd_node* nodes, uint32_t count);

// Size a target's image must have to hold its DCD entry region (0: no region).
size_t dcd_region_end(int target);
// Copies the target's DCD area over the region of a loaded image. The caller has made
// sure the image holds the region.
void place_dcd_area(uint8_t* image_buf, size_t image_size);
