// What every layer shares: the run's target and route, and one parsed register write.
#pragma once

#include <cstdint>

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

// One register write of the DDR init script.
struct dcd_node {
    uint32_t addr;
    uint32_t value;
};
