// Report descriptor, HID_ID and input report handling for the HID stand-in. Pure
// functions, so that a fuzzer can hand them anything a device might.
#include "platform/posix/hid_report.h"

#include <algorithm>

namespace posix {
namespace {

// The globals that decide a report's size, as Push and Pop save and restore them.
struct Globals {
    uint32_t size = 0, count = 0, id = 0;
};

// The kernel's HID_GLOBAL_STACK_SIZE: a deeper descriptor never gets a hidraw node.
constexpr size_t kStackDepth = 4;
constexpr uint64_t kMaxReportBits = kMaxReport * 8;

enum Kind { kInput, kOutput, kFeature, kKinds };

// Item types and tags of the short items that matter here.
constexpr uint8_t kMain = 0, kGlobal = 1, kLocal = 2;
constexpr uint8_t kTagInput = 8, kTagOutput = 9, kTagFeature = 11, kTagCollection = 10,
                  kTagEndCollection = 12;
constexpr uint8_t kTagUsagePage = 0, kTagUsage = 0;
constexpr uint8_t kTagReportSize = 7, kTagReportId = 8, kTagReportCount = 9, kTagPush = 10,
                  kTagPop = 11;
constexpr uint8_t kLongItem = 0xFE;

uint16_t longest(const std::array<int32_t, 256>& bits) {
    int32_t most = -1;
    for (int32_t b : bits)
        most = std::max(most, b);
    return most < 0 ? 0 : static_cast<uint16_t>((most + 7) / 8 + 1);
}

} // namespace

std::optional<HidLayout> hid_parse_descriptor(std::span<const uint8_t> desc) {
    if (desc.size() > kMaxDescriptor)
        return std::nullopt;
    // Bits of each report so far, by kind and report ID; -1: no such report.
    std::array<std::array<int32_t, 256>, kKinds> bits;
    for (auto& k : bits)
        k.fill(-1);
    std::array<Globals, kStackDepth> stack;
    size_t depth = 0;
    Globals g;
    bool numbered = false;
    uint32_t page = 0, usage = 0; // usage: a 4-byte item carries its own page
    size_t nesting = 0;
    HidLayout l;
    for (size_t at = 0; at < desc.size();) {
        const uint8_t prefix = desc[at];
        if (prefix == kLongItem) {
            if (desc.size() - at < 3 || desc.size() - at - 3 < desc[at + 1])
                return std::nullopt;
            at += 3 + desc[at + 1];
            continue;
        }
        const size_t len = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (desc.size() - at - 1 < len)
            return std::nullopt;
        uint32_t value = 0;
        for (size_t i = 0; i < len; ++i)
            value |= uint32_t(desc[at + 1 + i]) << (8 * i);
        at += 1 + len;
        const uint8_t type = (prefix >> 2) & 3, tag = prefix >> 4;
        if (type == kGlobal) {
            switch (tag) {
            case kTagUsagePage:
                page = value;
                break;
            case kTagReportSize:
                g.size = value;
                break;
            case kTagReportCount:
                g.count = value;
                break;
            case kTagReportId:
                if (value == 0 || value > 255)
                    return std::nullopt;
                g.id = value;
                numbered = true;
                break;
            case kTagPush:
                if (depth == stack.size())
                    return std::nullopt;
                stack[depth++] = g;
                break;
            case kTagPop:
                if (depth == 0)
                    return std::nullopt;
                g = stack[--depth];
                break;
            }
        } else if (type == kLocal && tag == kTagUsage) {
            usage = len == 4 ? value : page << 16 | (value & 0xFFFF);
        } else if (type == kMain && tag == kTagCollection) {
            if (nesting++ == 0 && l.usage_page == 0 && l.usage == 0) {
                l.usage_page = static_cast<uint16_t>(usage >> 16);
                l.usage = static_cast<uint16_t>(usage);
            }
        } else if (type == kMain && tag == kTagEndCollection) {
            nesting -= nesting > 0;
        } else if (type == kMain && (tag == kTagInput || tag == kTagOutput || tag == kTagFeature)) {
            const Kind kind = tag == kTagInput ? kInput : tag == kTagOutput ? kOutput : kFeature;
            int32_t& b = bits[kind][g.id];
            const uint64_t add = uint64_t(g.size) * g.count;
            const uint64_t total = uint64_t(std::max(b, 0)) + std::min(add, kMaxReportBits + 1);
            if (total > kMaxReportBits)
                return std::nullopt;
            b = static_cast<int32_t>(total);
        }
        if (type == kMain)
            usage = 0; // local items last until the next main item
    }
    // A descriptor that numbers its reports numbers all of them.
    if (numbered && (bits[kInput][0] >= 0 || bits[kOutput][0] >= 0 || bits[kFeature][0] >= 0))
        return std::nullopt;
    l.numbered = numbered;
    l.input = longest(bits[kInput]);
    l.output = longest(bits[kOutput]);
    l.feature = longest(bits[kFeature]);
    for (size_t id = 0; id < 256; ++id) {
        if (bits[kOutput][id] >= 0)
            l.output_by_id[id] = static_cast<uint16_t>((bits[kOutput][id] + 7) / 8 + 1);
    }
    return l;
}

std::optional<HidId> hid_parse_id(std::string_view text) {
    uint32_t field[3] = {};
    for (int i = 0; i < 3; ++i) {
        size_t digits = 0;
        for (; digits < text.size() && text[digits] != ':'; ++digits) {
            const char c = text[digits];
            const int v = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (v < 0 || digits == 8)
                return std::nullopt;
            field[i] = field[i] << 4 | uint32_t(v);
        }
        if (digits == 0 || field[i] > 0xFFFF)
            return std::nullopt;
        const bool last = i == 2;
        if (last != (digits == text.size()))
            return std::nullopt;
        text.remove_prefix(last ? digits : digits + 1);
    }
    return HidId{uint16_t(field[0]), uint16_t(field[1]), uint16_t(field[2])};
}

void hid_input_view(std::span<const uint8_t> got, bool numbered, std::span<uint8_t> out) {
    std::ranges::fill(out, 0);
    const size_t at = numbered ? 0 : 1;
    if (out.size() <= at)
        return;
    std::copy_n(got.begin(), std::min(got.size(), out.size() - at), out.begin() + at);
}

} // namespace posix
