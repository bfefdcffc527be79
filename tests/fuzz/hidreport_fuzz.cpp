// What the HID stand-in takes from a device: the report descriptor, the parent's HID_ID
// and the reports read from the node. The input is the descriptor; its first bytes also
// stand for a HID_ID, and its last bytes for a report of any length.
#include "platform/posix/hid_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> in(data, size);
    const std::string_view text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 40));
    if (auto id = posix::hid_parse_id(text)) {
        char again[32];
        std::snprintf(again, sizeof again, "%04X:%08X:%08X", id->bus, id->vendor, id->product);
        auto back = posix::hid_parse_id(again);
        if (!back || back->bus != id->bus || back->vendor != id->vendor ||
            back->product != id->product)
            std::abort();
    }
    auto l = posix::hid_parse_descriptor(in);
    if (!l)
        return 0;
    for (size_t id = 0; id < l->output_by_id.size(); ++id) {
        const uint16_t len = l->output_by_id[id];
        if (len > l->output || (len && (id == 0) == l->numbered))
            std::abort();
    }
    for (uint16_t len : {l->input, l->output, l->feature}) {
        if (len > posix::kMaxReport + 1)
            std::abort();
    }
    // A report as long as the node may hand it, or longer or shorter, into exactly the
    // length the caller reads.
    std::vector<uint8_t> report(l->input);
    posix::hid_input_view(in.last(std::min<size_t>(size, l->input + 1u)), l->numbered, report);
    if (!report.empty() && !l->numbered && report[0] != 0)
        std::abort();
    return 0;
}
