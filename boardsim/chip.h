// The five boards as the board itself knows them: IDs, memory, DCD layout. The host keeps
// its own copy of these numbers; this one is deliberately separate.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string_view>
#include <vector>

namespace board {

enum class Gen { Older, Falcon }; // egret/heron boot ROM, falcon boot ROM

struct Range {
    uint32_t first, last; // inclusive
    bool holds(uint32_t a) const { return a >= first && a <= last; }
};

struct Chip {
    const char* name;
    Gen gen;
    uint32_t tag; // chip tag in the test image header
    uint16_t vendor_id;
    uint16_t product_id; // HID product (falcon) or USB bulk product (egret, heron)
    uint32_t load;       // where the boot ROM loads the image
    Range iram;
    Range ddr_ctl;                    // the DDR controller's register window
    uint32_t ddr_base;                // first DDR address, shown by the memory test line
    std::span<const Range> registers; // peripheral windows the bus answers, beside IRAM
    uint32_t dcd_offset;              // DCD entry region in the image; 0 when the chip has none
    uint32_t dcd_entries;
    uint32_t dcd_entry_size;
    uint32_t flag_addr;      // USB valid flag word; 0 when the chip has none
    uint32_t scratch_addr;   // written by the placeholder entries of a fresh test image
    uint32_t program_offset; // start of the test program body in the image

    uint32_t dcd_end() const { return dcd_offset + dcd_entries * dcd_entry_size; }
    // Largest image that fits IRAM from the load address on.
    uint32_t capacity() const { return iram.last - load + 1; }
};

constexpr uint16_t kVendorId = 0x2F5A;
constexpr uint32_t kUsbValidFlag = 0x55AA55AA;
constexpr uint32_t kPlaceholderValue = 0x0BADDCD0;

const Chip* find_chip(std::string_view name);
std::span<const Chip> all_chips();

// The chip's memory as the boot ROM and the test program see it: IRAM bytes, and a sparse
// register file for everything else the bus answers (peripherals, DDR).
struct Memory {
    const Chip* chip = nullptr;
    std::vector<uint8_t> iram;
    std::map<uint32_t, uint32_t> regs; // only the words ever written
};

void memory_init(Memory& m, const Chip& chip);
bool memory_writable(const Memory& m, uint32_t addr);
// False (and nothing changes) when the chip cannot write that word.
bool memory_write(Memory& m, uint32_t addr, uint32_t value);
uint32_t memory_read(const Memory& m, uint32_t addr); // 0 where nothing was written
uint8_t memory_read_byte(const Memory& m, uint32_t addr);
void memory_load(Memory& m, uint32_t addr, std::span<const uint8_t> bytes);

// examples/<name>.inc, compiled in.
std::string_view example_script(std::string_view name);

} // namespace board
