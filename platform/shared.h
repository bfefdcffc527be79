// What every layer shares: the run's target and route, the facts of each target, byte
// order on the wire, and one parsed register write.
#pragma once

#include <cstdint>
#include <iterator>

// Target selector: -1 none yet, 0 egret, 1 heron, 2 falcon (variant not yet probed),
// 3 kestrel, 4 merlin, 5 hobby. Owned by the run sequence; final once the device is open.
extern int target_id;
// 1 when the board is reached over USB (bulk for egret/heron, HID for falcon). Owned by the
// command line parser.
extern int use_usb;

enum : int {
    TARGET_NONE = -1,
    TARGET_EGRET = 0,
    TARGET_HERON = 1,
    TARGET_FALCON = 2,
    TARGET_KESTREL = 3,
    TARGET_MERLIN = 4,
    TARGET_HOBBY = 5,
};

// The transport a run goes through: egret and heron over the serial port or USB bulk, the
// falcon family over HID.
enum class route { serial, usb_bulk, hid };
inline route current_route() {
    if (target_id == TARGET_EGRET || target_id == TARGET_HERON)
        return use_usb == 1 ? route::usb_bulk : route::serial;
    return route::hid;
}

// USB identifiers of the boot ROM devices; all boards share one vendor ID.
constexpr uint16_t FALCON_VENDOR_ID = 0x2F5A;
constexpr uint16_t KESTREL_PRODUCT_ID = 0x0101;
constexpr uint16_t MERLIN_PRODUCT_ID = 0x0102;
constexpr uint16_t HOBBY_PRODUCT_ID = 0x0103;
constexpr uint16_t EGRET_PRODUCT_ID = 0x0110;
constexpr uint16_t HERON_PRODUCT_ID = 0x0111;
// Rows of the USB bulk device table.
constexpr uint32_t USB_ROW_HERON = 12;
constexpr uint32_t USB_ROW_EGRET = 13;
constexpr uint32_t FALCON_LOAD_ADDR = 0x00907000;

struct target_facts {
    const char* image_file;
    uint32_t load_addr;  // where the test image goes and starts
    uint32_t usb_row;    // egret/heron: row of the USB bulk device table
    uint16_t product_id; // USB product ID of the boot ROM device
    const char* opened;  // falcon: the line once its variant is open
};

// Indexed by target_id; the falcon row stands for a variant not yet probed.
constexpr target_facts target_table[] = {
    {"larkspur-egret.bin", 0xF8006000, USB_ROW_EGRET, EGRET_PRODUCT_ID, nullptr},
    {"larkspur-heron.bin", 0x1FFE6000, USB_ROW_HERON, HERON_PRODUCT_ID, nullptr},
    {nullptr, 0, 0, 0, nullptr},
    {"larkspur-kestrel.bin", FALCON_LOAD_ADDR, 0, KESTREL_PRODUCT_ID, "KESTREL opened.\n"},
    {"larkspur-merlin.bin", FALCON_LOAD_ADDR, 0, MERLIN_PRODUCT_ID, "MERLIN opened.\n"},
    {"larkspur-hobby.bin", FALCON_LOAD_ADDR, 0, HOBBY_PRODUCT_ID, "HOBBY opened.\n"},
};

// The facts of target_id; none at all for a value that names no row.
inline const target_facts& current_target() {
    static constexpr target_facts no_target = {nullptr, 0, 0, 0, nullptr};
    constexpr int rows = static_cast<int>(std::size(target_table));
    return target_id >= 0 && target_id < rows ? target_table[target_id] : no_target;
}

// Words on the wire: frames are big-endian, acknowledgement and console words
// little-endian, whatever the host's own byte order.
inline void put_be(uint8_t* p, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}
inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}
inline uint32_t get_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// One register write of the DDR init script.
struct dcd_node {
    uint32_t addr;
    uint32_t value;
};
