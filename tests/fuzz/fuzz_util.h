// Shared by the fuzz targets: quiet standard output, and a byte reader over the input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace fuzz {

// The parsers print their complaints; a fuzzer has no use for millions of them.
inline void silence_stdout() {
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
}

// Takes the input apart front to back; past its end everything reads as zero.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> data) : data_(data) {}
    bool empty() const { return pos_ >= data_.size(); }
    uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    // The next n bytes, or fewer at the end.
    std::span<const uint8_t> take(size_t n) {
        size_t k = std::min(n, data_.size() - std::min(pos_, data_.size()));
        auto s = data_.subspan(std::min(pos_, data_.size()), k);
        pos_ += k;
        return s;
    }

  private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

} // namespace fuzz
