// What the HID stand-in reads from a device, taken apart without touching one: the report
// descriptor, the parent's HID_ID and the reports themselves. Every byte here comes from a
// device Larkspur does not control, so each function checks all of it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace posix {

// The largest descriptor a hidraw node hands out (the kernel's HID_MAX_DESCRIPTOR_SIZE).
constexpr size_t kMaxDescriptor = 4096;
// The largest report the kernel passes on (HID_MAX_BUFFER_SIZE).
constexpr size_t kMaxReport = 16384;

// Report lengths in the Windows view: the report ID byte counted, also for a device
// without numbered reports; 0 where the descriptor declares no report of that kind.
struct HidLayout {
    bool numbered = false;
    uint16_t usage_page = 0, usage = 0;          // of the first top-level collection
    uint16_t input = 0, output = 0, feature = 0; // the largest of each kind
    std::array<uint16_t, 256> output_by_id = {}; // by report ID; 0: no such output report
};

// Undeclared: an empty descriptor is valid and declares nothing.
std::optional<HidLayout> hid_parse_descriptor(std::span<const uint8_t> desc);

struct HidId {
    uint16_t bus, vendor, product;
};
// "bus:vendor:product" in hex, as the kernel writes HID_ID ("0003:00002F5A:00000101").
std::optional<HidId> hid_parse_id(std::string_view text);

// An input report as the Windows caller sees it: report ID first, zero-padded to the
// whole of out. got is what one read of the node gave; a device without numbered reports
// sends no ID byte, so its report goes after a zero ID. Bytes beyond out are dropped.
void hid_input_view(std::span<const uint8_t> got, bool numbered, std::span<uint8_t> out);

} // namespace posix
