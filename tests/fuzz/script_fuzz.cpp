// Whole DDR init script files through the parser, with a generous and a tight maximum.
#include "app/utility.h"
#include "tests/fuzz/fuzz_util.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silence_stdout();
    return 0;
}

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
    if (rc != 0 && rc != -1)
        std::abort();
    if (rc != 0 && len != max)
        std::abort(); // a failed parse leaves the count alone
    if (rc == 0 && len > max)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    parse(data, size, 512);
    parse(data, size, 2);
    return 0;
}
