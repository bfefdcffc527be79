// One word through parse_hex_num, checked against what a number is: "0x" or "0X" and 1 to
// 8 hexadecimal digits.
#include "app/utility.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A zero-terminated word of exactly the input's bytes (up to a zero byte), in a block
    // of its own size.
    const std::string word(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    auto copy = std::make_unique<char[]>(word.size() + 1); // zero-filled
    std::memcpy(copy.get(), word.data(), word.size());

    uint32_t value = 0xDEADBEEF;
    int rc = parse_hex_num(copy.get(), &value);

    const bool prefix = word.size() >= 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const bool fits = word.size() >= 3 && word.size() <= 10;
    const bool digits = fits && word.find_first_not_of("0123456789abcdefABCDEF", 2) == word.npos;
    if (prefix ? (!fits && rc != -2) || digits != (rc == 0) : rc != -1)
        std::abort();
    // A refused word stores nothing.
    if (value !=
        (rc == 0 ? static_cast<uint32_t>(std::strtoul(copy.get() + 2, nullptr, 16)) : 0xDEADBEEF))
        std::abort();
    return 0;
}
