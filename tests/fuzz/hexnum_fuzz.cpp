// One word through parse_hex_num, checked against what a number is: "0x" or "0X" and 1 to
// 8 hexadecimal digits.
#include "app/utility.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A zero-terminated word of exactly the input's bytes (up to a zero byte), in a block
    // of its own size.
    std::string word(reinterpret_cast<const char*>(data), size);
    word.resize(std::strlen(word.c_str()));
    auto copy = std::make_unique<char[]>(word.size() + 1);
    std::memcpy(copy.get(), word.c_str(), word.size() + 1);

    uint32_t value = 0xDEADBEEF;
    int rc = parse_hex_num(copy.get(), &value);

    bool prefix = word.size() >= 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    bool digits = word.size() >= 3 && word.size() <= 10;
    for (size_t i = 2; digits && i < word.size(); ++i)
        digits = std::isxdigit(static_cast<unsigned char>(word[i])) != 0;
    if (!prefix && rc != -1)
        std::abort();
    if (prefix && (word.size() < 3 || word.size() > 10) && rc != -2)
        std::abort();
    if (prefix && digits != (rc == 0))
        std::abort();
    if (rc == 0 && value != static_cast<uint32_t>(std::strtoul(copy.get() + 2, nullptr, 16)))
        std::abort();
    if (rc != 0 && value != 0xDEADBEEF)
        std::abort(); // a refused word stores nothing
    return 0;
}
