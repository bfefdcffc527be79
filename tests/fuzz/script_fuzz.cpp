// Whole DDR init script files through the parser, with a generous and a tight maximum.
#include "app/utility.h"
#include "tests/fuzz/fuzz_util.h"

#include <vector>

namespace {

void parse(const uint8_t* data, size_t size, uint32_t max) {
    // fmemopen refuses an empty buffer: an empty file is an empty temporary file.
    FILE* f = size ? fmemopen(const_cast<uint8_t*>(data), size, "r") : std::tmpfile();
    if (!f)
        std::abort();
    // Exactly max entries, so a write past the last one is out of bounds.
    std::vector<dcd_node> nodes(max, dcd_node{0, 0});
    uint32_t len = max;
    int rc = parse_ddr_init_script(f, nodes.data(), &len);
    std::fclose(f);
    // A failed parse leaves the count alone; a good one stays within the maximum.
    if ((rc != 0 && rc != -1) || (rc != 0 && len != max) || len > max)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool quiet = fuzz::silence_stdout();
    parse(data, size, 512);
    parse(data, size, 2);
    return 0;
}
