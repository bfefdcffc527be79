#include "boardsim/chip.h"

#include <array>
#include <cstring>

namespace board {
namespace {

constexpr std::array<Range, 6> kEgretRegs = {{{0x53FD4000, 0x53FD7FFF},
                                              {0x63FDA000, 0x63FDAFFF},
                                              {0x53FA8000, 0x53FABFFF},
                                              {0x63FD9000, 0x63FD9FFF},
                                              {0x53F80000, 0x53F93FFF},
                                              {0x53FDC000, 0x53FE7FFF}}};
constexpr std::array<Range, 5> kHeronRegs = {{{0x73FD4000, 0x73FD7FFF},
                                              {0x83FDA000, 0x83FDAFFF},
                                              {0x73FA8000, 0x73FABFFF},
                                              {0x83FD9000, 0x83FD9FFF},
                                              {0x73F84000, 0x73F93FFF}}};
// Peripherals, then DDR itself (the falcon bus maps it below and above 0x10000000).
constexpr std::array<Range, 5> kFalconRegs = {{{0x020E0000, 0x020E3FFF},
                                               {0x020C4000, 0x020C7FFF},
                                               {0x021B0000, 0x021B7FFF},
                                               {0x08000000, 0x0FFEFFFF},
                                               {0x10000000, 0xFFFFFFFF}}};

constexpr uint32_t tag(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

Chip falcon(const char* name, uint32_t t, uint16_t pid) {
    return Chip{name,
                Gen::Falcon,
                t,
                kVendorId,
                pid,
                0x00907000,
                {0x00900000, 0x0093FFFF},
                {0x021B0000, 0x021B7FFF},
                0x10000000,
                kFalconRegs,
                0,
                0,
                0,
                0,
                0,
                64};
}

const std::array<Chip, 5> kChips = {{
    {"egret",
     Gen::Older,
     tag("EGRT"),
     kVendorId,
     0x0110,
     0xF8006000,
     {0xF8000000, 0xF801FFFF},
     {0x63FD9000, 0x63FDAFFF},
     0x70000000,
     kEgretRegs,
     52,
     200,
     8,
     0xF801DC10,
     0xF801DC04,
     1664},
    {"heron",
     Gen::Older,
     tag("HERN"),
     kVendorId,
     0x0111,
     0x1FFE6000,
     {0x1FFE0000, 0x1FFFFFFF},
     {0x83FD9000, 0x83FDAFFF},
     0x90000000,
     kHeronRegs,
     36,
     136,
     12,
     0x1FFFDC10,
     0x1FFFDC04,
     1680},
    falcon("kestrel", tag("KSTL"), 0x0101),
    falcon("merlin", tag("MRLN"), 0x0102),
    falcon("hobby", tag("HOBY"), 0x0103),
}};

} // namespace

const Chip* find_chip(std::string_view name) {
    for (const Chip& c : kChips)
        if (name == c.name)
            return &c;
    return nullptr;
}

std::span<const Chip> all_chips() {
    return kChips;
}

void memory_init(Memory& m, const Chip& chip) {
    m.chip = &chip;
    m.iram.assign(chip.iram.last - chip.iram.first + 1, 0);
    m.regs.clear();
}

bool memory_writable(const Memory& m, uint32_t addr) {
    if (addr % 4 != 0)
        return false;
    if (m.chip->iram.holds(addr))
        return true;
    for (const Range& r : m.chip->registers)
        if (r.holds(addr))
            return true;
    return false;
}

bool memory_write(Memory& m, uint32_t addr, uint32_t value) {
    if (!memory_writable(m, addr))
        return false;
    if (m.chip->iram.holds(addr)) {
        uint8_t* p = &m.iram[addr - m.chip->iram.first];
        for (int i = 0; i < 4; ++i)
            p[i] = uint8_t(value >> (8 * i)); // the cores are little-endian
    } else {
        m.regs[addr] = value;
    }
    return true;
}

uint8_t memory_read_byte(const Memory& m, uint32_t addr) {
    if (m.chip->iram.holds(addr))
        return m.iram[addr - m.chip->iram.first];
    auto it = m.regs.find(addr & ~3u);
    return it == m.regs.end() ? 0 : uint8_t(it->second >> (8 * (addr & 3)));
}

uint32_t memory_read(const Memory& m, uint32_t addr) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < 4; ++i)
        v |= uint32_t(memory_read_byte(m, addr + i)) << (8 * i);
    return v;
}

void memory_load(Memory& m, uint32_t addr, std::span<const uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        uint32_t a = addr + uint32_t(i);
        if (m.chip->iram.holds(a))
            m.iram[a - m.chip->iram.first] = bytes[i];
    }
}

} // namespace board
