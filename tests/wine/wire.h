/* What the Wine test driver and the Linux bridge say to each other over their two FIFOs:
 * a header, then `size` bytes. Both ends are x86_64 and little-endian; the records inside
 * requests keep the 32-bit caller's layout, which only the bridge reads.
 *
 * Driver to bridge, on WIRE_TO_BRIDGE:
 *   WIRE_OPEN     tag = file: a handle was opened on the device
 *   WIRE_CLOSE    tag = file: its last handle was closed
 *   WIRE_REQUEST  tag = request, arg0 = file, arg1 = control code; the record
 *   WIRE_MEMORY   tag = request, arg0 = 1 when read; the caller's bytes a WIRE_READ asked for
 * Bridge to driver, on WIRE_TO_DRIVER:
 *   WIRE_READ     tag = request, arg0 = address, arg1 = length (at most WIRE_MAX_DATA)
 *   WIRE_WRITE    tag = request, arg0 = address; the bytes to put there
 *   WIRE_DONE     tag = request, arg0 = status word; what changed in the record, as runs
 *                 of a u32 offset, a u32 length and that many bytes
 * Addresses are the caller's own, 32 bits wide. A request's reads and writes all come
 * before its WIRE_DONE. Only the bytes the stand-in changed go back into the record: two
 * requests may share one (a wait and the disable that ends it). */
#ifndef LARKSPUR_TESTS_WINE_WIRE_H
#define LARKSPUR_TESTS_WINE_WIRE_H

#include <stdint.h>

#define WIRE_TO_BRIDGE "requests"
#define WIRE_TO_DRIVER "replies"
#define WIRE_TO_BRIDGE_W L"requests"
#define WIRE_TO_DRIVER_W L"replies"

#define WIRE_MAX_DATA 65536u
#define WIRE_MAX_RECORD 4096u

enum {
    WIRE_OPEN = 1,
    WIRE_CLOSE = 2,
    WIRE_REQUEST = 3,
    WIRE_MEMORY = 4,
    WIRE_READ = 5,
    WIRE_WRITE = 6,
    WIRE_DONE = 7,
};

struct wire_header {
    uint32_t kind;
    uint32_t tag;
    uint32_t arg0;
    uint32_t arg1;
    uint32_t size;
};

#endif
