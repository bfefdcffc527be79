// Shared by the fuzz targets: quiet standard output, and a byte reader over the input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace fuzz {

// The parsers print their complaints; a fuzzer has no use for millions of them.
inline bool silence_stdout() {
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return true;
}

// Takes the input apart front to back; past its end everything reads as zero.
struct Reader {
    std::span<const uint8_t> rest;
    bool empty() const { return rest.empty(); }
    // The next n bytes, or fewer at the end.
    std::span<const uint8_t> take(size_t n) {
        auto s = rest.first(std::min(n, rest.size()));
        rest = rest.subspan(s.size());
        return s;
    }
    uint8_t byte() { return empty() ? 0 : take(1)[0]; }
    uint16_t u16() {
        uint8_t low = byte(); // the operands of | are unsequenced
        return static_cast<uint16_t>(low | byte() << 8);
    }
};

} // namespace fuzz
